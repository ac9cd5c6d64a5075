// Holds the signature parser to a plain model of the strict four-line rule: exactly four
// lines, each ended by LF but the last, which may be; "untrusted comment: " and bytes from
// 0x20 up but DEL, at most 1,024 in all; the base64 of "ED", an 8-byte key id and a 64-byte
// signature; "trusted comment: " and the same bytes or tabs, at most 4,096 in all; the
// base64 of a 64-byte global signature. The line rules leave no room for a CR. A legacy
// signature is told by "Ed" in its second line, once the comment lines read; its fourth line
// is not read. What parses re-encodes to its lines.
//
// Input: the ZIP comment that holds the signature.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base64_model.h"
#include "fuzz_check.h"
#include "verification/agent_signature.h"

namespace {

using verification::SignatureParse;

bool IsCommentLine(const std::string& line, const std::string& prefix, std::size_t max_length,
                   bool tabs) {
  if (line.size() > max_length || line.substr(0, prefix.size()) != prefix) return false;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0x7F || (byte < 0x20 && !(tabs && byte == '\t'))) return false;
  }
  return true;
}

SignatureParse ModelVerdict(std::string text, std::vector<std::string>& lines) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  lines.assign(1, std::string());
  for (const char c : text) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  if (lines.size() != 4 || !IsCommentLine(lines[0], "untrusted comment: ", 1024, false) ||
      !IsCommentLine(lines[2], "trusted comment: ", 4096, true)) {
    return SignatureParse::kUnreadable;
  }
  const std::optional<std::string> signature_line = fuzz::StrictBase64Bytes(lines[1]);
  if (!signature_line || signature_line->size() != 74) return SignatureParse::kUnreadable;
  if (signature_line->compare(0, 2, "Ed") == 0) return SignatureParse::kLegacy;
  const std::optional<std::string> global_line = fuzz::StrictBase64Bytes(lines[3]);
  if (signature_line->compare(0, 2, "ED") != 0 || !global_line || global_line->size() != 64) {
    return SignatureParse::kUnreadable;
  }
  return SignatureParse::kParsed;
}

template <typename Bytes>
std::string AsString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string comment(reinterpret_cast<const char*>(data), size);
  verification::AgentSignature signature;
  const SignatureParse verdict = verification::ParseAgentSignature(comment, signature);
  std::vector<std::string> lines;
  fuzz::Require(verdict == ModelVerdict(comment, lines),
                "a comment parses, is legacy or is unreadable as the four-line rule says");
  if (verdict != SignatureParse::kParsed) return 0;

  fuzz::Require(fuzz::EncodeBase64("ED" + AsString(signature.key_id) +
                                   AsString(signature.signature)) == lines[1],
                "the key id and signature re-encode to the second line");
  fuzz::Require(signature.trusted_comment == lines[2].substr(17),
                "the trusted comment is the third line less its prefix");
  fuzz::Require(fuzz::EncodeBase64(AsString(signature.global_signature)) == lines[3],
                "the global signature re-encodes to the fourth line");
  return 0;
}
