// The reporting callback every operation that can fail is handed. A failure is
// reported once, where it happens; every message of the launcher is an error.
#pragma once

#include <string>

namespace base {

using MessageSink = void (*)(const std::string& text, bool is_error);

}  // namespace base
