#include "localfs/self_path.h"

#include <unistd.h>

namespace localfs {

std::string SelfExecutablePath() {
  char target[1023] = {};
  const ssize_t length = readlink("/proc/self/exe", target, sizeof(target));
  // A target that fills the buffer may have been cut off: a wrong path is worse than none.
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) return "";
  return std::string(target, static_cast<size_t>(length));
}

bool SelfLinkReadable() {
  char first_byte = 0;
  return readlink("/proc/self/exe", &first_byte, 1) > 0;
}

std::string ExecutingFilePath() { return "/proc/" + std::to_string(getpid()) + "/exe"; }

std::string ExecutableDirectory() {
  const std::string self = SelfExecutablePath();
  if (self.empty()) return "";
  const std::string::size_type last = self.find_last_of("/\\");
  if (last == std::string::npos) return self;
  return self.substr(0, last);
}

}  // namespace localfs
