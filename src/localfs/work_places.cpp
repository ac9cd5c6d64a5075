#include "localfs/work_places.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "bootstrap/release_constants.h"
#include "localfs/self_path.h"

namespace localfs {
namespace {

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whoever may write a directory may rename its entries; with the sticky bit, only an entry's
// owner, the directory's owner and root may. So the owner must be this user or root.
bool OnlyItsOwnerRenamesEntries(const struct stat& place) {
  if (!S_ISDIR(place.st_mode)) return false;
  if (place.st_uid != geteuid() && place.st_uid != 0) return false;
  return (place.st_mode & S_ISVTX) != 0 || (place.st_mode & (S_IWGRP | S_IWOTH)) == 0;
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
  struct stat place_status {};
  if (stat(place.c_str(), &place_status) != 0 || !OnlyItsOwnerRenamesEntries(place_status)) {
    return "";
  }
  std::string name = (place == "/" ? "" : place) + bootstrap::PathSeparator + "qxXXXXXX";
  if (mkdtemp(name.data()) == nullptr) return "";
  return name;
}

bool IsOnNoexecMount(const std::string& path) {
  struct statvfs file_system {};
  return statvfs(path.c_str(), &file_system) == 0 && (file_system.f_flag & ST_NOEXEC) != 0;
}

}  // namespace localfs
