#include "launch/launch_agent.h"

#include <exception>

#include "base/trace.h"
#include "localfs/command_lines.h"
#include "localfs/shell_command.h"

namespace launch {
namespace {

constexpr int kSignalStatusBase = 128;

}  // namespace

std::optional<int> LaunchInstallAgent(std::string command_head, const std::string& work_directory,
                                      int argc, char** argv, base::MessageSink sink) {
  // The entry script and the bundle only: the user's arguments are theirs.
  base::Trace("agent: " + command_head + " with the bundle in " + work_directory);
  int status = -1;
  try {
    status = localfs::RunShellCommand(
        localfs::AgentCommandLine(command_head, work_directory, argc, argv),
        localfs::ChildKind::kAgent);
  } catch (const std::exception&) {
    status = -1;
  }
  const localfs::CommandEnd end = localfs::DecodeWaitStatus(status);
  switch (end.kind) {
    case localfs::CommandEnd::Kind::NotStarted:
      sink("Failed to start the instal agent", true);
      return std::nullopt;
    case localfs::CommandEnd::Kind::Signalled:
      return kSignalStatusBase + end.value;
    case localfs::CommandEnd::Kind::Exited:
      break;
  }
  return end.value;
}

}  // namespace launch
