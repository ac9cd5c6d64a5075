#include "localfs/work_directory.h"

#include <tuple>

#include "localfs/command_lines.h"
#include "localfs/shell_command.h"
#include "localfs/work_places.h"

namespace localfs {

WorkDirectory::WorkDirectory() {
  for (const std::string& place : WorkDirectoryPlaces()) {
    path_ = MakePrivateDirectoryIn(place);
    if (!path_.empty()) {
      place_ = place;
      return;
    }
  }
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
