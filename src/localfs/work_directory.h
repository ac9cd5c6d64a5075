// Owns the private work directory of one run (/tmp/qxXXXXXX, mode 0700); removes it,
// contents and all, when destroyed. An empty path means none could be made.
#pragma once

#include <string>

namespace localfs {

class WorkDirectory {
 public:
  WorkDirectory();
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  [[nodiscard]] std::string path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace localfs
