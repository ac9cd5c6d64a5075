#include "bootstrap/console_message_sink.h"

#include <cstdio>

namespace bootstrap {

void ConsoleMessageSink(const std::string& text, bool is_error) {
  std::FILE* stream = is_error ? stderr : stdout;
  // A sink has no way to report; a console that cannot be written to is not news.
  (void)std::fwrite(text.data(), 1, text.size(), stream);
  (void)std::fputc('\n', stream);
  (void)std::fflush(stream);
}

}  // namespace bootstrap
