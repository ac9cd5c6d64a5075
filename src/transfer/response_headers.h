// The header lines of the download server's responses. Two captures run side by side:
// - The ETag capture keeps the last header line of the whole exchange that begins with
//   "ETag: " (any letter case), less its last byte, in a fixed 64-byte buffer. That line is
//   what the cache's marker records, so it is kept byte for byte as it has always been.
// - The response capture keeps, for the last response only (it starts afresh at each status
//   line, so a redirect's headers never count), the few headers a download decides by: its
//   ETag value, Content-Range, Content-Type, Retry-After and whether the body is chunked.
// Neither ever fails a transfer or keeps more than a bounded number of bytes. The parsers of
// those values take untrusted bytes and accept only the strict forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace transfer {

inline constexpr std::size_t kETagCaptureSize = 64;

// user designates a char* that points at the kETagCaptureSize-byte buffer. Always
// returns size * count. A matching line of more than kETagCaptureSize bytes (line end
// included) empties the capture; a NUL inside the line ends the copy.
std::size_t CaptureETagHeader(char* data, std::size_t size, std::size_t count, void* user);

// A value longer than this is not kept: no header a download needs is ever that long.
inline constexpr std::size_t kHeaderValueLimit = 256;

struct ResponseHeaders {
  std::string etag;  // the value, e.g. "\"v1\"" or "W/\"v1\""; "" when absent or too long
  std::string content_range;
  std::string content_type;
  std::string retry_after;
  bool chunked = false;  // Transfer-Encoding names chunked

  // Takes one header line as libcurl hands it (line end included). A status line starts
  // the next response's capture.
  void Take(std::string_view line);
};

// The value of an ETag that If-Range may carry: a quoted strong tag. "" for a weak tag
// ("W/..."), a missing one, or anything that is not a quoted tag.
[[nodiscard]] std::string StrongETag(std::string_view etag);

struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t complete = 0;
};

// "bytes FIRST-LAST/COMPLETE" with FIRST <= LAST < COMPLETE; nothing else, so an unknown
// complete length ("*") or an impossible range yields nothing.
[[nodiscard]] std::optional<ContentRange> ParseContentRange(std::string_view value);

// Retry-After as seconds from now: delta-seconds, or an IMF-fixdate such as
// "Sun, 06 Nov 1994 08:49:37 GMT" (a date already past is 0). Nothing for any other text.
[[nodiscard]] std::optional<std::uint64_t> ParseRetryAfter(std::string_view value, std::time_t now);

}  // namespace transfer
