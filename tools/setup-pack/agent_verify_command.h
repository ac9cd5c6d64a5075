// --verify-agent: checks the signature attached to an agent archive exactly as the launcher
// does (the same code, with this build's release), against the key files given.
#pragma once

#include <string>

#include "error_sink.h"

namespace pack {

// On success `summary` holds the lines to print: the key id, the agent version and the release.
[[nodiscard]] bool VerifyAgentArchive(const std::string& key_path, const std::string& archive_path,
                                      std::string& summary, ErrorSink report);

}  // namespace pack
