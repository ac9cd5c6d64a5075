// Whether this run may use the per-user agent cache, decided before anything in the cache
// is created, opened or locked; and the note of a run that fetches an agent of its own.
#pragma once

#include <string>

#include "agentcache/cache_lock.h"

namespace agentcache {

enum class CacheUse {
  // This user's alone and writable: a stale agent is replaced under the exclusive lock.
  kRefresh,
  // A current cached agent runs; a stale one stays, and the run fetches an agent for itself.
  kUseIfCurrent,
  // Not looked at: the run fetches an agent for itself.
  kIgnore,
};

// Why a run does not refresh the cache.
enum class CacheRefusal {
  kNone,
  kNotOwn,
  kLockNotRegular,    // this user's own ".lock" is a directory, a link or the like
  kMarkerNotRegular,  // and so is ".validatestring"
  kCannotBeWritten,
  kHeldByAncestor,
};

struct CacheAccess {
  CacheUse use = CacheUse::kIgnore;
  CacheRefusal refusal = CacheRefusal::kNone;
  // The agent cache directory resolved without links, ending with a separator; every later
  // look at the cache uses it. Empty when the cache is not to be looked at.
  std::string directory;
};

// Makes and checks the directory chain, checks the marker, then opens the lock file into
// cache_lock without locking it. A cache of this user's is refreshed; one that another
// user could have prepared is ignored; one that cannot be written, or whose lock an
// ancestor launcher holds, is used only when current, and then without a lock of this run.
[[nodiscard]] CacheAccess OpenAgentCache(CacheLock& cache_lock);

// The line that says why the agent is fetched for this run only.
[[nodiscard]] std::string RunPrivateAgentNote(const std::string& cache_directory,
                                              CacheRefusal refusal);

}  // namespace agentcache
