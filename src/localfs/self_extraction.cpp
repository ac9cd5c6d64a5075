#include "localfs/self_extraction.h"

#include <sys/stat.h>
#include <unistd.h>
#include <exception>

#include "base/launcher_members.h"
#include "base/release_constants.h"
#include "localfs/command_lines.h"
#include "localfs/interruption.h"
#include "localfs/shell_command.h"

namespace localfs {

std::string SelfExecutablePath() {
  char target[1023] = {};
  const ssize_t length = readlink("/proc/self/exe", target, sizeof(target));
  // A target that fills the buffer may have been cut off: a wrong path is worse than none.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) return "";
  return std::string(target, static_cast<size_t>(length));
}

bool SelfLinkReadable() {
  char first_byte = 0;
  return readlink("/proc/self/exe", &first_byte, 1) > 0;
}

std::string ExecutingFilePath() { return "/proc/" + std::to_string(getpid()) + "/exe"; }

std::string ExecutableDirectory() {
  const std::string self = SelfExecutablePath();
  if (self.empty()) return "";
  const std::string::size_type last = self.find_last_of("/\\");
  if (last == std::string::npos) return self;
  return self.substr(0, last);
}

int ExtractLauncherArchive(std::string target_directory, base::MessageSink /*sink*/) {
  // The unit-test mode's target is the launcher's directory, unknown when its path is too long.
  if (target_directory.empty()) return kExtractionFailed;
  // Not the path the launcher file had at the start: that may now name another file.
  const int status = RunShellCommand(SelfExtractionCommand(ExecutingFilePath(), target_directory),
                                     ChildKind::kArchive);
  const CommandEnd end = DecodeWaitStatus(status);
  if (end.kind != CommandEnd::Kind::Exited) return kExtractionFailed;
  // unzip exits 1 when it only warned (bytes before an archive whose offsets were not
  // adjusted, say); 2 and above mean a damaged archive, a bad CRC or an unreadable or
  // unwritable file, and Info-ZIP keeps a member with a bad CRC on disk, so a bundle.zip
  // that is present proves nothing then.
  if (end.value >= 2) return kExtractionFailed;
  struct stat bundle {};
  if (stat((target_directory + base::PathSeparator + base::kBundleMemberName).c_str(), &bundle) !=
      0) {
    return kExtractionFailed;
  }
  return 0;
}

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
