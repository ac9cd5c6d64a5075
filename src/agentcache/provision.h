// Makes an install agent ready for the run: a local agent archive in the work directory
// wins; otherwise the per-user cache, refreshed only when the server's tag changes, or an
// agent fetched for this run only where that cache may not be used or replaced.
#pragma once

#include <string>
#include <vector>

#include "agentcache/cache_lock.h"
#include "base/message_sink.h"
#include "verification/publisher_keys.h"

namespace agentcache {

// The path of the agent entry script, or "" after the cause has been reported (or when
// the run was interrupted). An agent from the cache comes with the cache's shared lock in
// cache_lock where one could be had, to be kept until the agent's command has ended (and
// named in QX_HELD_AGENT_CACHE_LOCKS for the agent); a local agent archive or an agent for
// this run only leaves cache_lock without a lock.
// With publisher keys (not empty), every downloaded archive is verified before anything is
// unpacked from it; a local agent archive came in the same file as the keys and is not.
[[nodiscard]] std::string ProvisionInstallAgent(const std::string& work_directory,
                                                const std::vector<verification::PublisherKey>& keys,
                                                CacheLock& cache_lock, base::MessageSink sink);

// The archive's path, or "" when the work directory holds none (or cannot be listed).
[[nodiscard]] std::string FindLocalAgentArchive(const std::string& work_directory);

}  // namespace agentcache
