// Owns the private work directory of one run (qxXXXXXX, mode 0700, in the first place of
// WorkDirectoryPlaces that keeps it private); removes it, contents and all, when destroyed
// wherever it was made. An empty path means none could be made anywhere.
#pragma once

#include <string>

namespace localfs {

// The driver's code for a run that found no place for its work directory.
inline constexpr int kNoWorkDirectory = 202;

class WorkDirectory {
 public:
  WorkDirectory();
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  [[nodiscard]] std::string path() const { return path_; }
  // The directory the work directory was made in ($TMPDIR, /tmp, ...); empty with the path.
  [[nodiscard]] std::string place() const { return place_; }

 private:
  std::string path_;
  std::string place_;
};

}  // namespace localfs
