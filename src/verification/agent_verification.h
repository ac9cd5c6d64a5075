// Decides whether a downloaded agent archive may be used: its signature must be by one of the
// launcher's publisher keys, over the archive's signed bytes, and its trusted comment must name
// one agent version and this launcher's release. The result carries the reason for the user
// rather than reporting it, so that the caller reports once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace verification {

struct AgentVerification {
  bool verified = false;
  std::string failure_reason;  // when not verified: the words after "failed verification - "
  KeyId key_id{};
  std::uint64_t version = 0;
  std::string release;  // the agent-release value, "<release label>/<platform tag>"
};

// Checks, in this order, that the archive carries a signature, that it reads as a prehashed
// signature, that its key is one of `keys`, that it matches the signed bytes and the trusted
// comment, and that the trusted comment names one agent version and `release`.
[[nodiscard]] AgentVerification VerifyAgentSignature(const SignedBytes& signed_bytes,
                                                     const std::vector<PublisherKey>& keys,
                                                     const std::string& release);

// The words of a trusted comment, once the signatures vouch for it: exactly one
// "agent-version=" word with a decimal from 0 to 2^63-1, and at least one "agent-release="
// word, every one naming `release`; other words are ignored. `key_id` is left unset.
[[nodiscard]] AgentVerification CheckTrustedComment(const std::string& trusted_comment,
                                                    const std::string& release);

// This launcher's release as signatures name it: "<release label>/<platform tag>".
[[nodiscard]] std::string LauncherRelease();

// The reason when a verified agent's version is below the highest this cache has accepted.
[[nodiscard]] std::string OlderAgentReason(std::uint64_t version, std::uint64_t floor);

// The reason when the floors record at `path` exists but cannot be read.
[[nodiscard]] std::string UnreadableFloorsReason(const std::string& path);

// The whole error message for a failed verification.
[[nodiscard]] std::string VerificationFailureMessage(const std::string& reason);

// The note when the installed agent is kept because the server offers an older one.
[[nodiscard]] std::string OlderAgentNote(std::uint64_t offered, std::uint64_t installed);

}  // namespace verification
