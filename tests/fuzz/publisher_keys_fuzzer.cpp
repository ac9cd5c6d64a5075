// Holds the publisher key parser to a plain model of a key member: lines split at LF (a
// final LF ends the last line, and a CR at a line's end is dropped, as text_codec.h
// promises); blank lines are skipped; every other line is an "untrusted comment: " line
// followed by the strict base64 of "Ed", an 8-byte key id and a 32-byte key; at least one
// key; anything else fails, all or nothing. The keys parsed re-encode to their lines.
//
// Input: the member's text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base64_model.h"
#include "fuzz_check.h"
#include "verification/publisher_keys.h"

namespace {

std::vector<std::string> ModelLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '\n') line += text[at];
    if (text[at] == '\n' || at + 1 == text.size()) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

// The key lines in order, or nothing when the text is not a key member.
std::optional<std::vector<std::string>> ModelKeyLines(const std::string& text) {
  const std::vector<std::string> lines = ModelLines(text);
  std::vector<std::string> key_lines;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    if (lines[index].empty()) continue;
    if (lines[index].rfind("untrusted comment: ", 0) != 0 || index + 1 == lines.size()) {
      return std::nullopt;
    }
    const std::optional<std::string> key = fuzz::StrictBase64Bytes(lines[++index]);
    if (!key || key->size() != 42 || key->compare(0, 2, "Ed") != 0) return std::nullopt;
    key_lines.push_back(lines[index]);
  }
  if (key_lines.empty()) return std::nullopt;
  return key_lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<verification::PublisherKey> keys;
  const bool parsed = verification::ParsePublisherKeys(text, keys);
  const std::optional<std::vector<std::string>> key_lines = ModelKeyLines(text);
  fuzz::Require(parsed == key_lines.has_value(),
                "a key member parses exactly when it is comment and key lines and blank lines");
  if (!parsed) return 0;

  fuzz::Require(keys.size() == key_lines->size(), "every key line gives one key");
  for (std::size_t index = 0; index < keys.size(); ++index) {
    const verification::PublisherKey& key = keys[index];
    const std::string bytes = "Ed" + std::string(key.key_id.begin(), key.key_id.end()) +
                              std::string(key.public_key.begin(), key.public_key.end());
    fuzz::Require(fuzz::EncodeBase64(bytes) == (*key_lines)[index],
                  "each key re-encodes to its key line");
  }
  return 0;
}
