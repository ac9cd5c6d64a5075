#include "installed_stub.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace pack {

std::string InstalledStubPath() {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    return "";
  }
  std::string path(self, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/') + 1) + SETUP_PACK_STUB_FROM_EXECUTABLE;
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  struct stat status {};
  if (!resolved || ::stat(resolved.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::access(resolved.get(), X_OK) != 0) {
    return "";
  }
  return resolved.get();
}

}  // namespace pack
