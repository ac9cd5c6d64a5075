#include "localfs/self_extraction.h"

#include <sys/stat.h>

#include "base/launcher_members.h"
#include "base/release_constants.h"
#include "localfs/command_lines.h"
#include "localfs/self_path.h"
#include "localfs/shell_command.h"

namespace localfs {

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

}  // namespace localfs
