// The small texts of signatures, keys and cache records: lines split at LF, and strict
// decoding of the standard base64 alphabet with padding, as signature and key files carry
// it: any other character, a length that is not a multiple of four or a misplaced "=" makes
// the text unreadable.
#pragma once

#include <string>
#include <vector>

namespace verification {

// The lines of `text`, split at LF, each without a CR at its end; a final LF ends the last
// line rather than starting an empty one.
[[nodiscard]] std::vector<std::string> SplitLines(const std::string& text);

// false, with `bytes` partly filled, when the text is not strict base64.
[[nodiscard]] bool DecodeBase64(const std::string& text, std::vector<unsigned char>& bytes);

}  // namespace verification
