#include "base/trace.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/files.h"

namespace base {

bool TraceEnabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("QX_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return enabled;
}

void Trace(std::string_view line) {
  if (!TraceEnabled()) return;
  std::string text = "trace: ";
  text.reserve(text.size() + line.size() + 1);
  for (const char byte : line) {
    const auto value = static_cast<unsigned char>(byte);
    text.push_back(value < 0x20 || value == 0x7f ? '?' : byte);
  }
  text.push_back('\n');
  // A trace that cannot be written is no failure of the run.
  (void)WriteWhole(STDERR_FILENO, text);
}

}  // namespace base
