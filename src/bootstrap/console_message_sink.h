// The launcher's one sink: writes each message as one flushed line, errors on
// standard error and plain messages on standard output. Write errors are ignored.
#pragma once

#include <string>

namespace bootstrap {

void ConsoleMessageSink(const std::string& text, bool is_error);

}  // namespace bootstrap
