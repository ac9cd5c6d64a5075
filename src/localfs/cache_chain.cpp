#include "localfs/cache_chain.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bootstrap/release_constants.h"
#include "localfs/cache_paths.h"

namespace localfs {
namespace {

constexpr mode_t kChainMode = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

bool OwnedByThisUser(const struct stat& entry) { return entry.st_uid == geteuid(); }

// Nobody but the owner may rename entries in the home directory: group and others may not
// write it, unless the sticky bit keeps each of them to entries of their own.
bool HomeIsOwn(const struct stat& home) {
  return OwnedByThisUser(home) &&
         ((home.st_mode & kWritableByOthers) == 0 || (home.st_mode & S_ISVTX) != 0);
}

bool ChainEntryIsOwn(const struct stat& entry) {
  return OwnedByThisUser(entry) && (entry.st_mode & kWritableByOthers) == 0;
}

// The agent cache directory, then the cached agent directory, each preceded by the
// directories above it, up to but not including the home directory.
std::vector<std::string> ChainDirectories() {
  const std::string cache_directory = AgentCacheDirectory();
  const std::string base =
      cache_directory.substr(0, cache_directory.size() - bootstrap::AgentCacheRoot.size());
  const std::string chain = bootstrap::AgentCacheRoot + bootstrap::AgentProgramName;
  const char separator = bootstrap::PathSeparator[0];
  std::vector<std::string> directories;
  for (std::string::size_type end = chain.find(separator); end != std::string::npos;
       end = chain.find(separator, end + 1)) {
    directories.push_back(base + chain.substr(0, end));
  }
  directories.push_back(base + chain);
  return directories;
}

}  // namespace

bool OwnRegularFile(const struct stat& entry) {
  return S_ISREG(entry.st_mode) && OwnedByThisUser(entry);
}

CacheChain MakeOwnCacheChain() {
  struct stat entry {};
  if (stat(HomeDirectory().c_str(), &entry) != 0) return CacheChain::kCannotBeMade;
  if (!HomeIsOwn(entry)) return CacheChain::kForeign;
  if (!S_ISDIR(entry.st_mode)) return CacheChain::kCannotBeMade;

  const std::vector<std::string> directories = ChainDirectories();
  for (const std::string& directory : directories) {
    const bool cached_agent_directory = &directory == &directories.back();
    if (stat(directory.c_str(), &entry) != 0) {
      // Made only once the directory above it has passed the check.
      if (errno != ENOENT || (mkdir(directory.c_str(), kChainMode) != 0 && errno != EEXIST)) {
        return CacheChain::kCannotBeMade;
      }
      if (stat(directory.c_str(), &entry) != 0) {
        // A dangling link of this user's in place of the cached agent directory is
        // replaced by the download like any other incomplete agent.
        if (cached_agent_directory && lstat(directory.c_str(), &entry) == 0) {
          return OwnedByThisUser(entry) ? CacheChain::kOwn : CacheChain::kForeign;
        }
        return CacheChain::kCannotBeMade;
      }
    }
    // An open cached agent directory of this user's never counts as complete, and is
    // replaced like any incomplete agent.
    if (cached_agent_directory && OwnedByThisUser(entry)) break;
    if (!ChainEntryIsOwn(entry)) return CacheChain::kForeign;
    if (!S_ISDIR(entry.st_mode) && !cached_agent_directory) return CacheChain::kCannotBeMade;
  }
  return CacheChain::kOwn;
}

}  // namespace localfs
