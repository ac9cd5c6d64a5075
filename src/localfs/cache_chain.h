// The directories of the agent cache, from .quenth under the home directory down to the
// cached agent directory: made where missing, and checked to be this user's alone before
// anything inside them is created, opened or locked. The chain is resolved once; every later
// step uses the resolved cache directory, so a link repointed meanwhile changes nothing.
#pragma once

#include <sys/stat.h>

#include <string>

namespace localfs {

enum class CacheChain {
  // Every directory exists (the cached agent directory may be any entry of this user's,
  // even one that others may write, which the download replaces) and only this user can
  // change it.
  kOwn,
  // The home directory, a directory above it or one of the chain belongs to another user,
  // others could rename or plant entries in it, or a link on the way belongs to another user.
  kForeign,
  // A directory of the chain could not be made (a read-only or missing home, say).
  kCannotBeMade,
};

struct CacheChainCheck {
  CacheChain verdict = CacheChain::kCannotBeMade;
  // With kOwn: the agent cache directory resolved without links, ending with a separator.
  std::string cache_directory;
};

// Make, check, then use: each missing directory is made with mode 0700, and each is checked
// before the next is made in it. The directories above the home belong to root or to this
// user and are writable by group and others only when sticky; so is the home, which belongs
// to this user. Below it, .quenth, app_installer_cache, the release and the platform
// directories are this user's and writable by nobody else; a link among them is followed only
// when it is this user's or root's (~/.quenth on another disk, say), and where it leads is
// checked the same way.
[[nodiscard]] CacheChainCheck MakeOwnCacheChain();

// A file of the cache (the marker, the lock file) may be trusted only when it is a regular
// file of the effective user.
[[nodiscard]] bool OwnRegularFile(const struct stat& entry);

}  // namespace localfs
