#include "verification/text_codec.h"

namespace verification {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    if (end > start && text[end - 1] == '\r') --end;
    lines.push_back(text.substr(start, end - start));
    start = next;
  }
  return lines;
}

namespace {

int SextetOf(char character) {
  if (character >= 'A' && character <= 'Z') return character - 'A';
  if (character >= 'a' && character <= 'z') return character - 'a' + 26;
  if (character >= '0' && character <= '9') return character - '0' + 52;
  if (character == '+') return 62;
  if (character == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) {
    return false;
  }
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last_group = group + 4 == text.size();
    std::size_t padding = 0;
    if (last_group) {
      padding = text[group + 3] == '=' ? (text[group + 2] == '=' ? 2 : 1) : 0;
    }
    unsigned long value = 0;
    for (std::size_t index = 0; index < 4; ++index) {
      const int sextet = index >= 4 - padding ? 0 : SextetOf(text[group + index]);
      if (sextet < 0) {
        return false;
      }
      value = (value << 6) | static_cast<unsigned long>(sextet);
    }
    bytes.push_back(static_cast<unsigned char>(value >> 16));
    if (padding < 2) bytes.push_back(static_cast<unsigned char>(value >> 8));
    if (padding < 1) bytes.push_back(static_cast<unsigned char>(value));
    // The bits that padding leaves over must be zero, so that one byte string has one text.
    if ((padding == 1 && (value & 0xFF) != 0) || (padding == 2 && (value & 0xFFFF) != 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace verification
