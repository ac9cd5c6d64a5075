#include "agentcache/cache_access.h"

#include <sys/stat.h>
#include <unistd.h>

#include "agentcache/cache_directory.h"
#include "agentcache/cache_lock.h"
#include "base/release_constants.h"

namespace agentcache {
namespace {

// A file of the cache that is missing passes; one that is there must be this user's regular
// file. Not followed: a link there is no file of the cache.
CacheRefusal CacheFileRefusal(const std::string& path, CacheRefusal wrong_kind) {
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0 || agentcache::OwnRegularFile(entry))
    return CacheRefusal::kNone;
  return entry.st_uid == geteuid() ? wrong_kind : CacheRefusal::kNotOwn;
}

std::string RefusalReason(CacheRefusal refusal) {
  switch (refusal) {
    case CacheRefusal::kNotOwn:
      return "it is not owned by this user, or others can write to it";
    case CacheRefusal::kLockNotRegular:
      return "\"" + base::CacheLockName + "\" in it is not a regular file";
    case CacheRefusal::kMarkerNotRegular:
      return "\"" + base::ValidationMarkerName + "\" in it is not a regular file";
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

CacheAccess OpenAgentCache(CacheLock& cache_lock) {
  const agentcache::CacheChainCheck chain = agentcache::MakeOwnCacheChain();
  switch (chain.verdict) {
    case agentcache::CacheChain::kForeign:
      return {CacheUse::kIgnore, CacheRefusal::kNotOwn, ""};
    case agentcache::CacheChain::kCannotBeMade:
      // Some directory is missing, so there is no cached agent to use.
      return {CacheUse::kUseIfCurrent, CacheRefusal::kCannotBeWritten, ""};
    case agentcache::CacheChain::kOwn:
      break;
  }
  const std::string& cache_directory = chain.cache_directory;
  const CacheRefusal marker = CacheFileRefusal(cache_directory + base::ValidationMarkerName,
                                               CacheRefusal::kMarkerNotRegular);
  if (marker != CacheRefusal::kNone) {
    return {CacheUse::kIgnore, marker, ""};
  }
  // Nobody else could have made the lock file in a chain of this user's alone, so opening
  // (and creating) it here locks nothing another user prepared.
  cache_lock = CacheLock::ForCacheDirectory(cache_directory);
  if (!cache_lock.HasFile()) {
    const CacheRefusal lock =
        CacheFileRefusal(cache_directory + base::CacheLockName, CacheRefusal::kLockNotRegular);
    if (lock != CacheRefusal::kNone) {
      return {CacheUse::kIgnore, lock, ""};
    }
    return {CacheUse::kUseIfCurrent, CacheRefusal::kCannotBeWritten, cache_directory};
  }
  if (HeldByAncestor(cache_lock.FileIdentity())) {
    // The ancestor's shared lock keeps the cached agent in place; waiting for the exclusive
    // one would wait for the ancestor, which waits for this run.
    cache_lock = CacheLock();
    return {CacheUse::kUseIfCurrent, CacheRefusal::kHeldByAncestor, cache_directory};
  }
  return {CacheUse::kRefresh, CacheRefusal::kNone, cache_directory};
}

std::string RunPrivateAgentNote(const std::string& cache_directory, CacheRefusal refusal) {
  return "Note: the install agent cache in " + cache_directory + " is not used (" +
         RefusalReason(refusal) + "); the agent is downloaded for this run only.";
}

}  // namespace agentcache
