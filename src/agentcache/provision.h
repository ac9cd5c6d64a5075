// Makes an install agent ready for the run: a local agent archive in the work directory
// wins; otherwise the per-user cache, refreshed only when the server's tag changes.
#pragma once

#include <string>

#include "agentcache/cache_lock.h"
#include "bootstrap/message_sink.h"

namespace agentcache {

// The path of the agent entry script, or "" after the cause has been reported (or when
// the run was interrupted). An agent from the cache comes with the cache's shared lock in
// cache_lock, to be kept until the agent's command has ended; a local agent archive
// leaves cache_lock without a lock.
[[nodiscard]] std::string ProvisionInstallAgent(const std::string& work_directory,
                                                CacheLock& cache_lock, bootstrap::MessageSink sink);

}  // namespace agentcache
