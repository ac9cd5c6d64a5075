// The member "InstallAgent.pub" of a launcher file: the publisher's public key files, each
// checked to hold keys, stored one after another so that a launcher trusts a primary and a
// backup key.
#pragma once

#include <string>
#include <vector>

#include "error_sink.h"
#include "input_files.h"

namespace pack {

// Appends the key member to `inputs`, its data held in an anonymous file; refuses a key file
// that does not parse, and a member already stored under the same name.
[[nodiscard]] bool AddAgentKeyMember(const std::vector<std::string>& key_files, PackInputs& inputs,
                                     ErrorSink report);

// Reads a small text file (a key or a signature) whole; false after reporting.
[[nodiscard]] bool ReadSmallTextFile(const std::string& path, const std::string& role,
                                     std::string& text, ErrorSink report);

}  // namespace pack
