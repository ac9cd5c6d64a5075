// Feeds header lines to the response capture and its values to the parsers a resume and a
// retry decide by, and holds them to their promises: nothing kept is longer than the limit,
// a Content-Range taken is a possible one, a strong tag is the quoted input itself, and a
// Retry-After of digits is exactly their value.
//
// Input: lines separated by '\n' (each handed over with its '\n', as libcurl does).

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "transfer/response_headers.h"

namespace {

void CheckValues(const transfer::ResponseHeaders& headers) {
  for (const std::string* value :
       {&headers.etag, &headers.content_range, &headers.content_type, &headers.retry_after}) {
    fuzz::Require(value->size() <= transfer::kHeaderValueLimit, "a kept value fits the limit");
  }
  if (const auto range = transfer::ParseContentRange(headers.content_range)) {
    fuzz::Require(range->first <= range->last && range->last < range->complete,
                  "a range taken lies inside its complete length");
    fuzz::Require(headers.content_range.rfind("bytes ", 0) == 0, "a range is in bytes");
  }
  const std::string strong = transfer::StrongETag(headers.etag);
  fuzz::Require(strong.empty() || (strong == headers.etag && strong.size() >= 2 &&
                                   strong.front() == '"' && strong.back() == '"'),
                "a strong tag is the quoted value itself");
  const auto after = transfer::ParseRetryAfter(headers.retry_after, std::time_t{0});
  const std::string& text = headers.retry_after;
  const bool digits = !text.empty() && text.size() <= 19 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  if (digits) {
    fuzz::Require(after.has_value() && *after == std::stoull(text), "seconds are their value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  transfer::ResponseHeaders headers;
  std::size_t start = 0;
  while (start < input.size()) {
    const std::size_t end = input.find('\n', start);
    const std::size_t stop = end == std::string_view::npos ? input.size() : end + 1;
    headers.Take(input.substr(start, stop - start));
    CheckValues(headers);
    start = stop;
  }
  return 0;
}
