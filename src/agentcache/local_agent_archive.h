// Finds a local agent archive among the entries of the work directory:
// InstallAgent.zip first, else the first entry named InstallAgent_*.zip.
#pragma once

#include <string>

namespace agentcache {

// The archive's path, or "" when the work directory holds none (or cannot be listed).
[[nodiscard]] std::string FindLocalAgentArchive(const std::string& work_directory);

}  // namespace agentcache
