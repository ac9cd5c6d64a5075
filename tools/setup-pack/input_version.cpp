#include "input_version.h"

#include <sys/stat.h>

namespace pack {

bool ReadInputVersion(int descriptor, InputVersion& version) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    return false;
  }
  version.size = static_cast<std::uint64_t>(status.st_size);
  version.modified_seconds = status.st_mtim.tv_sec;
  version.modified_nanoseconds = status.st_mtim.tv_nsec;
  version.changed_seconds = status.st_ctim.tv_sec;
  version.changed_nanoseconds = status.st_ctim.tv_nsec;
  return true;
}

bool SameVersion(const InputVersion& one, const InputVersion& other) {
  return one.size == other.size && one.modified_seconds == other.modified_seconds &&
         one.modified_nanoseconds == other.modified_nanoseconds &&
         one.changed_seconds == other.changed_seconds &&
         one.changed_nanoseconds == other.changed_nanoseconds;
}

}  // namespace pack
