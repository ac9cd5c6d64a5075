#include "agentcache/transfer/display_write.h"

#include <unistd.h>

#include <cerrno>

namespace agentcache {

void WriteDisplay(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t result = write(fd, text.data() + written, text.size() - written);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result <= 0) {
      return;
    }
    written += static_cast<std::size_t>(result);
  }
}

}  // namespace agentcache
