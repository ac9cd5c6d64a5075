#include "localfs/agent_unpack.h"

#include <sys/stat.h>
#include <exception>

#include "localfs/command_lines.h"
#include "localfs/interruption.h"
#include "localfs/shell_command.h"

namespace localfs {

bool UnpackInstallAgent(std::string archive_path, std::string destination, std::string program,
                        base::MessageSink sink) {
  struct stat archive {};
  if (stat(archive_path.c_str(), &archive) != 0) return false;
  const std::string command = AgentUnpackCommand(program, archive_path, destination);
  int status = 0;
  try {
    status = RunShellCommand(command, ChildKind::kArchive);
  } catch (const std::exception&) {
    return false;
  }
  // An unzip stopped by the user's interruption is not a damaged archive.
  if (InterruptRequested()) return false;
  // Any non-zero status fails, warnings (exit code 1) included: a half-unpacked agent
  // must not run.
  if (status != 0) {
    sink("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}

}  // namespace localfs
