// Resolves a path once into one without symbolic links, so that every later step uses what
// was checked rather than resolving the original again; and tells whether another user could
// change what a resolved path names. A link is followed only when it belongs to this user or
// to root: nobody else can repoint it, since a link is replaced only through its directory.
// Also the creation of directory chains.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <string>

namespace localfs {

enum class Resolution {
  kResolved,
  kForeignLink,  // a link on the way belongs to another user
  kMissing,      // a component does not exist (a dangling link included)
  kFailed,       // not absolute, a loop of links, or a component that cannot be looked at
};

// `path` is absolute; `resolved` is then absolute, without links, "." or "..", and without a
// trailing separator (but "/" for the root).
[[nodiscard]] Resolution ResolvePath(const std::string& path, std::string& resolved);

// Nobody but this user and root can rename, remove or replace entries in the directory: it
// belongs to one of them and is writable by group and others only with the sticky bit.
[[nodiscard]] bool OnlyOwnersChangeEntries(const struct stat& directory);

// Every directory of a resolved path, from / down to the path itself, is a real directory
// that passes OnlyOwnersChangeEntries.
[[nodiscard]] bool DirectoriesGuarded(const std::string& resolved);

// The entry itself belongs to this user, and group and others cannot write it.
[[nodiscard]] bool OwnAndClosed(const struct stat& entry);

// 0 when the path is (or was just asked to become) a directory; -1 with errno ENOTDIR
// when something else is in the way. A mkdir that fails is not reported.
[[nodiscard]] int EnsureDirectory(const std::string& path, mode_t mode);

// Ensures every prefix of the path that ends before a separator, then the whole path.
// Stops at, and returns, the first non-zero result.
int MakeDirectories(std::string path, mode_t mode);

}  // namespace localfs
