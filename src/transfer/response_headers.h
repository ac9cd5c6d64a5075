// The header callback of the first request: keeps the last header line that begins with
// "ETag: " (any letter case), less its last byte, in a fixed 64-byte buffer. It never
// fails a transfer and never writes past the buffer.
#pragma once

#include <cstddef>

namespace transfer {

inline constexpr std::size_t kETagCaptureSize = 64;

// user designates a char* that points at the kETagCaptureSize-byte buffer. Always
// returns size * count. A matching line of more than kETagCaptureSize bytes (line end
// included) empties the capture; a NUL inside the line ends the copy.
std::size_t CaptureETagHeader(char* data, std::size_t size, std::size_t count, void* user);

}  // namespace transfer
