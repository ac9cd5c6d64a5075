// The signature an agent archive carries as its ZIP comment: the four lines of a minisign
// signature file, read strictly. Only the trusted comment line is signed, so the other comment
// line may hold nothing but printable text: no second archive, no line end of another kind.
// Parsing tells a legacy signature apart from one that cannot be read at all.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "verification/publisher_keys.h"

namespace verification {

struct AgentSignature {
  KeyId key_id{};
  std::array<unsigned char, 64> signature{};  // Ed25519 over the BLAKE2b-512 of the signed bytes
  std::string trusted_comment;                // without its "trusted comment: " prefix
  std::array<unsigned char, 64> global_signature{};  // over signature || trusted_comment
};

enum class SignatureParse { kParsed, kUnreadable, kLegacy };

// The longest comment lines read, each without its LF. minisign signs trusted comments of up
// to 4,077 characters.
constexpr std::size_t kMaxUntrustedLineBytes = 1024;
constexpr std::size_t kMaxTrustedLineBytes = 4096;

// Exactly four lines, each ended by LF (the last LF may be missing), none holding a CR:
// "untrusted comment: " and printable bytes; the base64 of "ED", the key id and the
// signature; "trusted comment: " and printable bytes or tabs; the base64 of the global
// signature. Anything else cannot be read.
[[nodiscard]] SignatureParse ParseAgentSignature(const std::string& comment,
                                                 AgentSignature& signature);

}  // namespace verification
