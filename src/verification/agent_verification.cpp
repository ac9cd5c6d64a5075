#include "verification/agent_verification.h"

#include <openssl/evp.h>
#include <algorithm>
#include <memory>

#include "base/release_constants.h"
#include "verification/agent_signature.h"
#include "verification/crypto.h"

namespace verification {

namespace {

constexpr char kVersionWord[] = "agent-version=";
constexpr char kReleaseWord[] = "agent-release=";

bool Ed25519Verifies(const PublisherKey& key, const unsigned char* signature,
                     const unsigned char* message, std::size_t message_length) {
  if (!InitializeCryptoWithoutConfig()) {
    return false;
  }
  const OwnedPublicKey public_key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, key.public_key.data(), key.public_key.size()));
  const OwnedDigestContext context(EVP_MD_CTX_new());
  return public_key != nullptr && context != nullptr &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, public_key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature, 64, message, message_length) == 1;
}

std::vector<std::string> WordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while ((start = text.find_first_not_of(" \t", start)) != std::string::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

bool StartsWith(const std::string& word, const char* prefix) {
  return word.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A decimal from 0 to 2^63-1, digits only.
bool ParseVersion(const std::string& digits, std::uint64_t& version) {
  constexpr std::uint64_t kMaxVersion = (std::uint64_t{1} << 63) - 1;
  if (digits.empty()) return false;
  version = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    const auto value = static_cast<std::uint64_t>(digit - '0');
    if (version > (kMaxVersion - value) / 10) return false;
    version = version * 10 + value;
  }
  return true;
}

AgentVerification Failure(const std::string& reason) {
  AgentVerification result;
  result.failure_reason = reason;
  return result;
}

}  // namespace

AgentVerification CheckTrustedComment(const std::string& trusted_comment,
                                      const std::string& release) {
  AgentVerification result;
  int version_words = 0;
  bool version_valid = false;
  std::vector<std::string> releases;
  for (const std::string& word : WordsOf(trusted_comment)) {
    if (StartsWith(word, kVersionWord)) {
      ++version_words;
      version_valid = ParseVersion(word.substr(sizeof kVersionWord - 1), result.version);
    } else if (StartsWith(word, kReleaseWord)) {
      releases.push_back(word.substr(sizeof kReleaseWord - 1));
    }
  }
  if (version_words != 1 || !version_valid) {
    return Failure("its signature names no agent version");
  }
  if (releases.empty()) {
    return Failure("its signature names no release");
  }
  for (const std::string& named : releases) {
    if (named != release) {
      return Failure("it is signed for another release (" + named + ")");
    }
  }
  result.release = release;
  result.verified = true;
  return result;
}

AgentVerification VerifyAgentSignature(const SignedBytes& signed_bytes,
                                       const std::vector<PublisherKey>& keys,
                                       const std::string& release) {
  using Status = EndRecordLocation::Status;
  if (signed_bytes.end_record == Status::kNoEndRecord ||
      (signed_bytes.end_record == Status::kFound && signed_bytes.comment.empty())) {
    return Failure("it carries no signature");
  }
  AgentSignature signature;
  const SignatureParse parse = signed_bytes.end_record == Status::kFound
                                   ? ParseAgentSignature(signed_bytes.comment, signature)
                                   : SignatureParse::kUnreadable;
  if (parse == SignatureParse::kUnreadable) {
    return Failure("its signature cannot be read");
  }
  if (parse == SignatureParse::kLegacy) {
    return Failure("it is signed in a legacy format");
  }
  const auto key = std::find_if(keys.begin(), keys.end(), [&](const PublisherKey& candidate) {
    return candidate.key_id == signature.key_id;
  });
  if (key == keys.end()) {
    return Failure("it is signed with a key that this installer does not trust");
  }
  std::string global_message(signature.signature.begin(), signature.signature.end());
  global_message += signature.trusted_comment;
  if (!Ed25519Verifies(*key, signature.signature.data(), signed_bytes.digest.data(),
                       signed_bytes.digest.size()) ||
      !Ed25519Verifies(*key, signature.global_signature.data(),
                       reinterpret_cast<const unsigned char*>(global_message.data()),
                       global_message.size())) {
    return Failure("its signature does not match its contents");
  }
  AgentVerification result = CheckTrustedComment(signature.trusted_comment, release);
  result.key_id = signature.key_id;
  return result;
}

std::string LauncherRelease() { return base::ReleaseLabel + "/" + base::PlatformTag; }

std::string OlderAgentReason(std::uint64_t version, std::uint64_t floor) {
  return "it is older than the agent last accepted (version " + std::to_string(version) +
         ", last accepted " + std::to_string(floor) + ")";
}

std::string UnreadableFloorsReason(const std::string& path) {
  return "the record of the agents last accepted cannot be read (" + path +
         "); removing the agent cache directory resets it";
}

std::string VerificationFailureMessage(const std::string& reason) {
  return "Error: The downloaded install agent failed verification - " + reason +
         ".\n\nPlease rerun the installer. If this persists, contact the publisher.";
}

std::string OlderAgentNote(std::uint64_t offered, std::uint64_t installed) {
  return "Note: the download server offers an older install agent (version " +
         std::to_string(offered) + ") than the installed one (version " +
         std::to_string(installed) + "); the installed one is used.";
}

}  // namespace verification
