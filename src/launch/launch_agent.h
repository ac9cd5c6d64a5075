// Runs the install agent on the extracted bundle with the launcher's own arguments and
// waits for it.
#pragma once

#include <optional>
#include <string>

#include "base/message_sink.h"

namespace launch {

// The exit status the launcher takes from the agent command: 0 when it exited with 0,
// its exit code, or 128 plus the signal that ended it. Nothing when the command could not
// be handed to the shell, after "Failed to start the instal agent" has been reported.
[[nodiscard]] std::optional<int> LaunchInstallAgent(std::string command_head,
                                                    const std::string& work_directory, int argc,
                                                    char** argv, base::MessageSink sink);

}  // namespace launch
