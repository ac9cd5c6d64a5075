// Makes an install agent ready for the run: a local agent archive in the work directory
// wins; otherwise the per-user cache, refreshed only when the server's tag changes.
#pragma once

#include <string>

#include "bootstrap/message_sink.h"

namespace agentcache {

// The path of the agent entry script, or "" after the cause has been reported.
[[nodiscard]] std::string ProvisionInstallAgent(const std::string& work_directory,
                                                bootstrap::MessageSink sink);

}  // namespace agentcache
