// Holds the check of a trusted comment's words to a plain model of the rule: the words lie
// between spaces and tabs; exactly one begins "agent-version=" and the rest of it is digits
// worth at most 2^63-1; at least one begins "agent-release=", and every one names this
// launcher's release; other words do not count. The verdict, the version and the reason for
// a refusal are the model's.
//
// Input: the trusted comment, without its prefix.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "verification/agent_verification.h"

namespace {

struct Verdict {
  bool verified = false;
  std::uint64_t version = 0;
  std::string failure_reason;
};

// Digits only, with leading zeros, up to "9223372036854775807".
bool IsVersion(const std::string& digits) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string value = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
  return value.size() < 19 || (value.size() == 19 && value <= "9223372036854775807");
}

Verdict ModelWords(const std::string& comment, const std::string& release) {
  std::vector<std::string> words(1);
  for (const char c : comment) {
    if (c != ' ' && c != '\t') {
      words.back() += c;
    } else if (!words.back().empty()) {
      words.emplace_back();
    }
  }
  std::vector<std::string> versions;
  std::vector<std::string> releases;
  for (const std::string& word : words) {
    if (word.rfind("agent-version=", 0) == 0) versions.push_back(word.substr(14));
    if (word.rfind("agent-release=", 0) == 0) releases.push_back(word.substr(14));
  }
  Verdict verdict;
  if (versions.size() != 1 || !IsVersion(versions[0])) {
    verdict.failure_reason = "its signature names no agent version";
  } else if (releases.empty()) {
    verdict.failure_reason = "its signature names no release";
  }
  for (const std::string& named : releases) {
    if (verdict.failure_reason.empty() && named != release) {
      verdict.failure_reason = "it is signed for another release (" + named + ")";
    }
  }
  verdict.verified = verdict.failure_reason.empty();
  if (verdict.verified) verdict.version = std::stoull(versions[0]);
  return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string comment(reinterpret_cast<const char*>(data), size);
  const std::string release = verification::LauncherRelease();
  const verification::AgentVerification checked =
      verification::CheckTrustedComment(comment, release);
  const Verdict model = ModelWords(comment, release);
  fuzz::Require(checked.verified == model.verified,
                "a comment is accepted exactly when its words follow the rule");
  fuzz::Require(checked.failure_reason == model.failure_reason,
                "a refusal gives the reason of the first rule broken");
  if (model.verified) {
    fuzz::Require(checked.version == model.version, "the version is the one the comment names");
    fuzz::Require(checked.release == release, "an accepted comment names this release");
  }
  return 0;
}
