// The publisher's keys and the signatures of agent archives, as setup-pack handles them: the
// key member of a launcher file (the key files, each checked to hold keys, stored one after
// another so that a launcher trusts a primary and a backup key);
// --attach-signature, which writes a minisign signature file as an agent archive's ZIP comment;
// and --verify-agent, which checks an attached signature exactly as the launcher does (the
// same code, with this build's release). Each fails after reporting once.
#pragma once

#include <string>
#include <vector>

#include "input_files.h"
#include "options.h"

namespace pack {

// Appends the key member to `inputs`, its data held in an anonymous file; refuses a key file
// that does not parse, and a member already stored under the same name.
[[nodiscard]] bool AddAgentKeyMember(const std::vector<std::string>& key_files, PackInputs& inputs,
                                     ErrorSink report);

// Replaces the archive atomically with a copy whose comment is the whole signature file. The
// archive must end in a ZIP end record; a comment it already has must be a signature, which is
// then replaced.
[[nodiscard]] bool AttachSignature(const std::string& signature_path,
                                   const std::string& archive_path, ErrorSink report);

// On success `summary` holds the lines to print: the key id, the agent version and the release.
[[nodiscard]] bool VerifyAgentArchive(const std::string& key_path, const std::string& archive_path,
                                      std::string& summary, ErrorSink report);

}  // namespace pack
