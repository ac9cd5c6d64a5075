#include "transfer/response_headers.h"

#include <strings.h>
#include <cstring>

namespace transfer {

namespace {

constexpr char kETagHeaderPrefix[] = "ETag: ";
constexpr std::size_t kETagHeaderPrefixLength = sizeof kETagHeaderPrefix - 1;

}  // namespace

std::size_t CaptureETagHeader(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t line_length = size * count;
  if (line_length < kETagHeaderPrefixLength ||
      strncasecmp(data, kETagHeaderPrefix, kETagHeaderPrefixLength) != 0) {
    return line_length;
  }
  char* const capture = user != nullptr ? *static_cast<char**>(user) : nullptr;
  if (capture == nullptr) {
    return line_length;
  }
  std::memset(capture, 0, kETagCaptureSize);
  // A line that does not fit whole is dropped rather than cut: a cut-off tag could make
  // two different tags look equal and keep a stale agent.
  if (line_length > kETagCaptureSize) {
    return line_length;
  }
  const std::size_t kept_length = line_length - 1;  // the line less its last byte (the LF)
  const void* const first_nul = std::memchr(data, '\0', kept_length);
  const std::size_t copied_length =
      first_nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(first_nul) - data)
                           : kept_length;
  std::memcpy(capture, data, copied_length);
  return line_length;
}

}  // namespace transfer
