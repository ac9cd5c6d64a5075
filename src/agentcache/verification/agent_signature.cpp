#include "agentcache/verification/agent_signature.h"

#include <algorithm>
#include <vector>

#include "agentcache/verification/base64_text.h"
#include "agentcache/verification/text_lines.h"

namespace agentcache {
namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr std::size_t kSignatureLineBytes = 2 + 8 + 64;

bool StartsWith(const std::string& text, const char* prefix, std::size_t prefix_length) {
  return text.compare(0, prefix_length, prefix) == 0;
}

}  // namespace

SignatureParse ParseAgentSignature(const std::string& comment, AgentSignature& signature) {
  const std::vector<std::string> lines = SplitLines(comment);
  if (lines.size() != 4 || !StartsWith(lines[0], kUntrustedPrefix, sizeof kUntrustedPrefix - 1) ||
      !StartsWith(lines[2], kTrustedPrefix, sizeof kTrustedPrefix - 1)) {
    return SignatureParse::kUnreadable;
  }
  std::vector<unsigned char> bytes;
  if (!DecodeBase64(lines[1], bytes) || bytes.size() != kSignatureLineBytes) {
    return SignatureParse::kUnreadable;
  }
  if (bytes[0] == 'E' && bytes[1] == 'd') {
    return SignatureParse::kLegacy;
  }
  if (bytes[0] != 'E' || bytes[1] != 'D') {
    return SignatureParse::kUnreadable;
  }
  std::copy(bytes.begin() + 2, bytes.begin() + 10, signature.key_id.begin());
  std::copy(bytes.begin() + 10, bytes.end(), signature.signature.begin());
  if (!DecodeBase64(lines[3], bytes) || bytes.size() != signature.global_signature.size()) {
    return SignatureParse::kUnreadable;
  }
  std::copy(bytes.begin(), bytes.end(), signature.global_signature.begin());
  signature.trusted_comment = lines[2].substr(sizeof kTrustedPrefix - 1);
  return SignatureParse::kParsed;
}

}  // namespace agentcache
