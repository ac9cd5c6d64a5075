#include "localfs/directories.h"

#include <sys/stat.h>
#include <cerrno>
#include <tuple>

#include "base/release_constants.h"
#include "localfs/command_lines.h"
#include "localfs/shell_command.h"

namespace localfs {

int EnsureDirectory(const std::string& path, mode_t mode) {
  struct stat entry {};
  if (stat(path.c_str(), &entry) != 0) {
    // A directory that could not be made shows up later, when it is used.
    std::ignore = mkdir(path.c_str(), mode);
    return 0;
  }
  if (S_ISDIR(entry.st_mode)) return 0;
  errno = ENOTDIR;
  return -1;
}

int MakeDirectories(std::string path, mode_t mode) {
  const char separator = base::PathSeparator[0];
  for (std::string::size_type position = 0; position < path.size(); ++position) {
    if (path[position] != separator) continue;
    // A leading separator, or one that directly follows another, ends no component.
    if (position == 0 || path[position - 1] == separator) continue;
    const int result = EnsureDirectory(path.substr(0, position), mode);
    if (result != 0) return result;
  }
  return EnsureDirectory(path, mode);
}

void RemoveTree(const std::string& path) {
  // lstat, so that a dangling link or a file in the way is removed too.
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) return;
  std::ignore = RunShellCommand(TreeRemovalCommand(path), ChildKind::kCleanup);
}

}  // namespace localfs
