// Owns the private work directory of one run (qxXXXXXX, mode 0700, in the first place of
// WorkDirectoryPlaces that keeps it private); removes it, contents and all, when destroyed
// wherever it was made. An empty path means none could be made anywhere.
// Also where a run may make its work directory, best first, and whether a place keeps a
// directory made in it private to the run.
#pragma once

#include <string>
#include <vector>

namespace localfs {

// $TMPDIR when it holds an absolute path, then /tmp, then the launcher file's own directory
// (left out when that cannot be read). Trailing separators are dropped.
[[nodiscard]] std::vector<std::string> WorkDirectoryPlaces();

// Makes RESOLVED/qxXXXXXX with mkdtemp (mode 0700) and yields its path, where RESOLVED is
// the place resolved without links (ResolvePath). "" when a link on the way belongs to another
// user, when the place is no directory, when mkdtemp fails there, or when someone else could
// rename entries in any directory from / down to the place: each must belong to this user or
// to root and be writable by neither group nor others unless it is sticky. Otherwise the
// private directory could be swapped under the run.
[[nodiscard]] std::string MakePrivateDirectoryIn(const std::string& place);

// True when the file system that holds the path is mounted noexec: programs cannot be
// started from it.
[[nodiscard]] bool IsOnNoexecMount(const std::string& path);

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
