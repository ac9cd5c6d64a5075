// Unpacks the archive appended to the launcher file into a directory with unzip.
#pragma once

#include <string>

#include "base/message_sink.h"

namespace localfs {

inline constexpr int kExtractionFailed = 201;

// 0 when bundle.zip was extracted; 201 when unzip did not end normally, ended with an
// exit code of 2 or more (damaged archive, bad CRC, unreadable or unwritable), or left no
// bundle.zip behind. Reports nothing: the driver reports 201.
[[nodiscard]] int ExtractLauncherArchive(std::string target_directory, base::MessageSink sink);

}  // namespace localfs
