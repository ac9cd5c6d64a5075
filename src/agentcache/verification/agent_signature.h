// The signature an agent archive carries as its ZIP comment: the four lines of a minisign
// signature file. Parsing tells a legacy signature apart from one that cannot be read at all.
#pragma once

#include <array>
#include <string>

#include "agentcache/verification/publisher_keys.h"

namespace agentcache {

struct AgentSignature {
  KeyId key_id{};
  std::array<unsigned char, 64> signature{};  // Ed25519 over the BLAKE2b-512 of the signed bytes
  std::string trusted_comment;                // without its "trusted comment: " prefix
  std::array<unsigned char, 64> global_signature{};  // over signature || trusted_comment
};

enum class SignatureParse { kParsed, kUnreadable, kLegacy };

// Four lines, the last LF optional: "untrusted comment: ...", the base64 of "ED", the key id
// and the signature, "trusted comment: ...", the base64 of the global signature.
[[nodiscard]] SignatureParse ParseAgentSignature(const std::string& comment,
                                                 AgentSignature& signature);

}  // namespace agentcache
