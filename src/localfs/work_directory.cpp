#include "localfs/work_directory.h"

#include <sys/statvfs.h>
#include <unistd.h>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "base/release_constants.h"
#include "base/trace.h"
#include "localfs/command_lines.h"
#include "localfs/paths.h"
#include "localfs/self_extraction.h"
#include "localfs/shell_command.h"

namespace localfs {

namespace {

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::vector<std::string> WorkDirectoryPlaces() {
  std::vector<std::string> places;
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && tmpdir[0] == '/') {
    places.push_back(WithoutTrailingSeparators(tmpdir));
  }
  places.emplace_back("/tmp");
  if (std::string launcher_directory = ExecutableDirectory(); !launcher_directory.empty()) {
    places.push_back(std::move(launcher_directory));
  }
  return places;
}

std::string MakePrivateDirectoryIn(const std::string& place) {
  // Resolved once: mkdtemp, unzip, rm and the agent all see the place that was checked, so a
  // link that someone repoints later changes nothing.
  std::string resolved;
  if (ResolvePath(place, resolved) != Resolution::kResolved) {
    base::Trace("work place " + place + " not taken: it cannot be resolved without a foreign link");
    return "";
  }
  if (!DirectoriesGuarded(resolved)) {
    base::Trace("work place " + place + " not taken: others could rename entries on its path");
    return "";
  }
  std::string name = (resolved == "/" ? "" : resolved) + base::PathSeparator + "qxXXXXXX";
  if (mkdtemp(name.data()) == nullptr) {
    base::Trace("work place " + place + " not taken: no directory can be made in it");
    return "";
  }
  return name;
}

bool IsOnNoexecMount(const std::string& path) {
  struct statvfs file_system {};
  return statvfs(path.c_str(), &file_system) == 0 && (file_system.f_flag & ST_NOEXEC) != 0;
}

WorkDirectory::WorkDirectory() {
  for (const std::string& place : WorkDirectoryPlaces()) {
    path_ = MakePrivateDirectoryIn(place);
    if (!path_.empty()) {
      place_ = place;
      base::Trace("work directory " + path_ + " (in " + place + ")");
      return;
    }
  }
}

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  try {
    // The status is not a verdict: there is nobody left to tell.
    std::ignore = RunShellCommand(WorkDirectoryRemovalCommand(path_), ChildKind::kCleanup);
    base::Trace("cleanup: work directory " + path_ + " removed");
  } catch (...) {
    // A destructor lets nothing out; an allocation failure here leaves the directory.
  }
}

}  // namespace localfs
