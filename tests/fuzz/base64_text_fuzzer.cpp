// Holds the strict base64 decoding to its promise that one byte string has one text: any
// text that decodes re-encodes, with a plain standard encoder, to exactly that text, and
// its bytes number three for every four characters less one for each "="; and the encoding
// of any bytes decodes to exactly those bytes.
//
// Input: bytes that are tried three ways: as a text, as a text of the base64 alphabet and
// "=" (each byte picking one of the 65 characters, so that near misses turn up often), and
// as the bytes to encode.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base64_model.h"
#include "fuzz_check.h"
#include "verification/text_codec.h"

namespace {

void CheckDecodedText(const std::string& text) {
  std::vector<unsigned char> bytes;
  if (!verification::DecodeBase64(text, bytes)) return;
  const std::string decoded(bytes.begin(), bytes.end());
  fuzz::Require(fuzz::EncodeBase64(decoded) == text,
                "a text that decodes is the standard encoding of its bytes");
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  fuzz::Require(
      text.size() % 4 == 0 && padding <= 2 && bytes.size() == text.size() / 4 * 3 - padding,
      "a text decodes to three bytes for every four characters, less the padding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckDecodedText(input);

  std::string alphabet_text;
  const std::string characters = fuzz::kBase64Alphabet + "=";
  for (const char byte : input) {
    alphabet_text += characters[static_cast<unsigned char>(byte) % characters.size()];
  }
  CheckDecodedText(alphabet_text);

  const std::string encoded = fuzz::EncodeBase64(input);
  std::vector<unsigned char> bytes;
  fuzz::Require(verification::DecodeBase64(encoded, bytes),
                "the standard encoding of any bytes decodes");
  fuzz::Require(std::string(bytes.begin(), bytes.end()) == input,
                "the standard encoding of any bytes decodes to those bytes");
  return 0;
}
