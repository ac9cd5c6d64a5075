#include "agentcache/cache_access.h"

#include <sys/stat.h>

#include "agentcache/held_cache_locks.h"
#include "bootstrap/release_constants.h"
#include "localfs/cache_chain.h"

namespace agentcache {
namespace {

// A file of the cache that is missing passes; one that is there must be this user's.
bool AbsentOrOwn(const std::string& path) {
  struct stat entry {};
  return stat(path.c_str(), &entry) != 0 || localfs::OwnRegularFile(entry);
}

const char* RefusalReason(CacheRefusal refusal) {
  switch (refusal) {
    case CacheRefusal::kNotOwn:
      return "it is not owned by this user, or others can write to it";
    case CacheRefusal::kCannotBeWritten:
      return "it cannot be written";
    case CacheRefusal::kHeldByAncestor:
      return "an installer that started this one is using it";
    case CacheRefusal::kNone:
      break;
  }
  return "";
}

}  // namespace

CacheAccess OpenAgentCache(const std::string& cache_directory, CacheLock& cache_lock) {
  switch (localfs::MakeOwnCacheChain()) {
    case localfs::CacheChain::kForeign:
      return {CacheUse::kIgnore, CacheRefusal::kNotOwn};
    case localfs::CacheChain::kCannotBeMade:
      return {CacheUse::kUseIfCurrent, CacheRefusal::kCannotBeWritten};
    case localfs::CacheChain::kOwn:
      break;
  }
  const std::string marker_path = cache_directory + bootstrap::ValidationMarkerName;
  const std::string lock_path = cache_directory + bootstrap::CacheLockName;
  if (!AbsentOrOwn(marker_path)) {
    return {CacheUse::kIgnore, CacheRefusal::kNotOwn};
  }
  // Nobody else could have made the lock file in a chain of this user's alone, so opening
  // (and creating) it here locks nothing another user prepared.
  cache_lock = CacheLock::ForCacheDirectory(cache_directory);
  if (!cache_lock.HasFile()) {
    if (!AbsentOrOwn(lock_path)) {
      return {CacheUse::kIgnore, CacheRefusal::kNotOwn};
    }
    return {CacheUse::kUseIfCurrent, CacheRefusal::kCannotBeWritten};
  }
  if (HeldByAncestor(cache_lock.FileIdentity())) {
    // The ancestor's shared lock keeps the cached agent in place; waiting for the exclusive
    // one would wait for the ancestor, which waits for this run.
    cache_lock = CacheLock();
    return {CacheUse::kUseIfCurrent, CacheRefusal::kHeldByAncestor};
  }
  return {CacheUse::kRefresh, CacheRefusal::kNone};
}

std::string RunPrivateAgentNote(const std::string& cache_directory, CacheRefusal refusal) {
  return "Note: the install agent cache in " + cache_directory + " is not used (" +
         RefusalReason(refusal) + "); the agent is downloaded for this run only.";
}

}  // namespace agentcache
