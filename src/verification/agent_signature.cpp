#include "verification/agent_signature.h"

#include <algorithm>
#include <vector>

#include "verification/text_codec.h"

namespace verification {

namespace {

constexpr char kUntrustedPrefix[] = "untrusted comment: ";
constexpr char kTrustedPrefix[] = "trusted comment: ";
constexpr std::size_t kSignatureLineBytes = 2 + 8 + 64;
constexpr std::size_t kLineCount = 4;

enum class Tabs { kRefused, kAllowed };

// The four lines split at LF; false for any other count. A final LF ends the last line.
bool SplitFourLines(const std::string& text, std::vector<std::string>& lines) {
  lines.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    if (lines.size() > kLineCount) return false;
    start = end + 1;
  }
  return lines.size() == kLineCount;
}

// The prefix, then bytes that a terminal shows as text: none below 0x20 (a tab only where
// allowed) and no DEL. Bytes from 0x80 up are UTF-8 and pass.
bool IsCommentLine(const std::string& line, const char* prefix, std::size_t prefix_length,
                   std::size_t max_length, Tabs tabs) {
  if (line.size() > max_length || line.compare(0, prefix_length, prefix) != 0) return false;
  return std::all_of(line.begin(), line.end(), [tabs](char character) {
    const auto byte = static_cast<unsigned char>(character);
    return (byte >= 0x20 && byte != 0x7F) || (byte == '\t' && tabs == Tabs::kAllowed);
  });
}

}  // namespace

SignatureParse ParseAgentSignature(const std::string& comment, AgentSignature& signature) {
  std::vector<std::string> lines;
  if (!SplitFourLines(comment, lines) ||
      !IsCommentLine(lines[0], kUntrustedPrefix, sizeof kUntrustedPrefix - 1,
                     kMaxUntrustedLineBytes, Tabs::kRefused) ||
      !IsCommentLine(lines[2], kTrustedPrefix, sizeof kTrustedPrefix - 1, kMaxTrustedLineBytes,
                     Tabs::kAllowed)) {
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

}  // namespace verification
