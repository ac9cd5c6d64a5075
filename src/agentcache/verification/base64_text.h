// Strict decoding of the standard base64 alphabet with padding, as signature and key files
// carry it: any other character, a length that is not a multiple of four or a misplaced "="
// makes the text unreadable.
#pragma once

#include <string>
#include <vector>

namespace agentcache {

// false, with `bytes` partly filled, when the text is not strict base64.
[[nodiscard]] bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes);

}  // namespace agentcache
