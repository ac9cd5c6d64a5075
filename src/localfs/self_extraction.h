// The launcher's own file and the archives it unpacks with unzip: where the running launcher
// file lies (read from /proc/self/exe), the extraction of the archive appended to it, and
// the unpacking of an agent archive into a directory, overwriting what is there.
#pragma once

#include <string>

#include "base/message_sink.h"

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

inline constexpr int kExtractionFailed = 201;

// 0 when bundle.zip was extracted; 201 when unzip did not end normally, ended with an
// exit code of 2 or more (damaged archive, bad CRC, unreadable or unwritable), or left no
// bundle.zip behind. Reports nothing: the driver reports 201.
[[nodiscard]] int ExtractLauncherArchive(std::string target_directory, base::MessageSink sink);

// true when unzip ended with status 0. A missing archive gives false silently; any other
// failure reports "Failed to unzip the install agent" and gives false.
[[nodiscard]] bool UnpackInstallAgent(std::string archive_path, std::string destination,
                                      std::string program, base::MessageSink sink);

}  // namespace localfs
