// The directories of the agent cache, from .quenth under the home directory down to the
// cached agent directory: made where missing, and checked to be this user's alone before
// anything inside them is created, opened or locked.
#pragma once

#include <sys/stat.h>

namespace localfs {

enum class CacheChain {
  // Every directory exists (the cached agent directory may be any entry of this user's,
  // even one that others may write, which the download replaces) and only this user can
  // change it.
  kOwn,
  // The home directory or a directory of the chain belongs to another user, or others
  // could rename or plant entries in it.
  kForeign,
  // A directory of the chain could not be made (a read-only or missing home, say).
  kCannotBeMade,
};

// Makes each missing directory with mode 0700 and checks every one with stat, following
// links: a link in a directory that only this user can write was made by this user.
[[nodiscard]] CacheChain MakeOwnCacheChain();

// A file of the cache (the marker, the lock file) may be trusted only when it is a regular
// file of the effective user.
[[nodiscard]] bool OwnRegularFile(const struct stat& entry);

}  // namespace localfs
