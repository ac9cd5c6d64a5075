// Puts a fetched agent in the place of the cached one so that no failure on the way costs
// the user the agent they have. The archive is unpacked into a staging directory of the
// cache ("installagent.new"); only once unzip has finished is the installed agent renamed
// aside ("installagent.old"), the staging directory renamed into its place, and the old one
// removed. Until then the installed agent, its marker and its records are untouched, so a
// failed update leaves everything as it was and the next run tries again. A run killed
// between the two renames leaves no agent, which the next run takes as an empty cache. Two
// renames rather than an exchange of the names, which older kernels lack. A cache directory
// whose mode lets no entry be made in it is the exception: there the new agent is unpacked
// in the old one's place, as before. Runs under the cache's exclusive lock.
#pragma once

#include <functional>
#include <string>

#include "base/message_sink.h"

namespace agentcache {

// cache_directory is the resolved cache directory. before_moves runs once the new agent is
// unpacked, right before the installed one goes (a launcher with keys raises its floor
// there). false after the failure has been reported, or when the run was interrupted.
[[nodiscard]] bool ReplaceCachedAgent(const std::string& archive_path,
                                      const std::string& cache_directory,
                                      const std::function<void()>& before_moves,
                                      base::MessageSink sink);

// "Failed to initialize the install agent.", the line after any agent that could not be made
// ready; nothing when the run was interrupted, which is no failure of the agent. false.
bool ReportAgentNotReady(base::MessageSink sink);

}  // namespace agentcache
