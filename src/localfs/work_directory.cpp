#include "localfs/work_directory.h"

#include <cstdlib>
#include <tuple>

#include "localfs/command_lines.h"
#include "localfs/shell_command.h"

namespace localfs {

WorkDirectory::WorkDirectory() {
  char name[] = "/tmp/qxXXXXXX";
  if (mkdtemp(name) != nullptr) path_ = name;
}

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  try {
    // The status is not a verdict: there is nobody left to tell.
    std::ignore = RunShellCommand(WorkDirectoryRemovalCommand(path_), ChildKind::kCleanup);
  } catch (...) {
    // A destructor lets nothing out; an allocation failure here leaves the directory.
  }
}

}  // namespace localfs
