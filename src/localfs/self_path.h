// Where the running launcher file lies, read from /proc/self/exe.
#pragma once

#include <string>

namespace localfs {

// The absolute path of the launcher file; empty when the link cannot be read or its
// target does not fit the 1023-byte buffer (a cut-off path is never returned).
[[nodiscard]] std::string SelfExecutablePath();

// False when /proc/self/exe cannot be read at all (/proc is not mounted, say): the launcher
// has then no way to name its own file. A target too long for SelfExecutablePath still counts.
[[nodiscard]] bool SelfLinkReadable();

// "/proc/PID/exe" with this process's id: a path by which another program (unzip) reads
// the very file that is executing, even after the launcher file was renamed or replaced.
[[nodiscard]] std::string ExecutingFilePath();

// The directory part of SelfExecutablePath, without a trailing separator.
[[nodiscard]] std::string ExecutableDirectory();

}  // namespace localfs
