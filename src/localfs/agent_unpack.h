// Unpacks an agent archive into a directory with unzip, overwriting what is there.
#pragma once

#include <string>

#include "base/message_sink.h"

namespace localfs {

// true when unzip ended with status 0. A missing archive gives false silently; any other
// failure reports "Failed to unzip the install agent" and gives false.
[[nodiscard]] bool UnpackInstallAgent(std::string archive_path, std::string destination,
                                      std::string program, base::MessageSink sink);

}  // namespace localfs
