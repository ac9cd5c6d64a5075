// Where the running launcher file lies, read from /proc/self/exe.
#pragma once

#include <string>

namespace localfs {

// The absolute path of the launcher file; empty when the link cannot be read or its
// target does not fit the 1023-byte buffer (a cut-off path is never returned).
[[nodiscard]] std::string SelfExecutablePath();

// The directory part of SelfExecutablePath, without a trailing separator.
[[nodiscard]] std::string ExecutableDirectory();

}  // namespace localfs
