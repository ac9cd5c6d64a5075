// A plain model of standard base64 with padding for the fuzz targets: the encoder, and the
// strict reading that follows from it: a text is base64 exactly when it is the encoding of
// some bytes, and then of only those.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace fuzz {

inline const std::string kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string EncodeBase64(const std::string& bytes) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = bytes.size() - at < 3 ? bytes.size() - at : 3;
    unsigned long group = 0;
    for (std::size_t index = 0; index < 3; ++index) {
      const unsigned long byte =
          index < count ? static_cast<unsigned char>(bytes[at + index]) : 0UL;
      group = group << 8 | byte;
    }
    for (std::size_t index = 0; index < 4; ++index) {
      text += index <= count ? kBase64Alphabet[group >> (18 - 6 * index) & 63] : '=';
    }
  }
  return text;
}

// The bytes whose encoding `text` is, or nothing. The text is read loosely (the alphabet,
// then up to two "="), and the strictness comes from encoding the result again.
inline std::optional<std::string> StrictBase64Bytes(const std::string& text) {
  std::size_t length = text.size();
  while (length > 0 && text.size() - length < 2 && text[length - 1] == '=') --length;
  std::string bytes;
  unsigned long bits = 0;
  int bit_count = 0;
  for (std::size_t index = 0; index < length; ++index) {
    const std::size_t sextet = kBase64Alphabet.find(text[index]);
    if (sextet == std::string::npos) return std::nullopt;
    bits = (bits << 6 | sextet) & 0xFFFFFF;
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      bytes += static_cast<char>(bits >> bit_count & 0xFF);
    }
  }
  if (EncodeBase64(bytes) != text) return std::nullopt;
  return bytes;
}

}  // namespace fuzz
