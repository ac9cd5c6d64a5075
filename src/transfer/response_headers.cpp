#include "transfer/response_headers.h"

#include <strings.h>

#include <array>
#include <cstring>

namespace transfer {

namespace {

constexpr char kETagHeaderPrefix[] = "ETag: ";
constexpr std::size_t kETagHeaderPrefixLength = sizeof kETagHeaderPrefix - 1;

bool IsOptionalWhitespace(char byte) { return byte == ' ' || byte == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (IsOptionalWhitespace(text.front()))) text.remove_prefix(1);
  while (!text.empty() &&
         (IsOptionalWhitespace(text.back()) || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool NameIs(std::string_view name, const char* wanted) {
  return name.size() == std::strlen(wanted) && strncasecmp(name.data(), wanted, name.size()) == 0;
}

void Keep(std::string& field, std::string_view value) {
  field = value.size() <= kHeaderValueLimit ? std::string(value) : std::string();
}

// Digits only, at most 19 of them, so the value always fits.
std::optional<std::uint64_t> Decimal(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return value;
}

std::optional<int> FixedDigits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  const auto value = Decimal(text.substr(at, count));
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

int IndexOf(const std::array<const char*, 12>& names, std::string_view word) {
  for (std::size_t index = 0; index < names.size(); ++index) {
    if (word == names[index]) return static_cast<int>(index);
  }
  return -1;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since the epoch.
std::optional<std::int64_t> ParseImfFixdate(std::string_view text) {
  static const std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const std::array<const char*, 12> kDays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat",
                                                    "Sun", "",    "",    "",    "",    ""};
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT" ||
      IndexOf(kDays, text.substr(0, 3)) < 0) {
    return std::nullopt;
  }
  const int month = IndexOf(kMonths, text.substr(8, 3)) + 1;
  const auto day = FixedDigits(text, 5, 2);
  const auto year = FixedDigits(text, 12, 4);
  const auto hour = FixedDigits(text, 17, 2);
  const auto minute = FixedDigits(text, 20, 2);
  const auto second = FixedDigits(text, 23, 2);
  if (month < 1 || !day || !year || !hour || !minute || !second || *day < 1 || *day > 31 ||
      *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  return DaysFromCivil(*year, month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

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

void ResponseHeaders::Take(std::string_view line) {
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    *this = ResponseHeaders();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = Trimmed(line.substr(colon + 1));
  if (NameIs(name, "ETag")) {
    Keep(etag, value);
  } else if (NameIs(name, "Content-Range")) {
    Keep(content_range, value);
  } else if (NameIs(name, "Content-Type")) {
    Keep(content_type, value);
  } else if (NameIs(name, "Retry-After")) {
    Keep(retry_after, value);
  } else if (NameIs(name, "Transfer-Encoding")) {
    // The last coding of a chunked body is chunked; a case-blind look for the word will do.
    for (std::size_t at = 0; at + 7 <= value.size(); ++at) {
      if (strncasecmp(value.data() + at, "chunked", 7) == 0) chunked = true;
    }
  }
}

std::string StrongETag(std::string_view etag) {
  if (etag.size() < 2 || etag.front() != '"' || etag.back() != '"') return "";
  for (const char byte : etag.substr(1, etag.size() - 2)) {
    const auto value = static_cast<unsigned char>(byte);
    // etagc: "!" and "#" to "~", and the bytes above 0x7f; never a quote or a control.
    if (value == '"' || value < 0x21 || value == 0x7f) return "";
  }
  return std::string(etag);
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  constexpr std::string_view kUnit = "bytes ";
  if (value.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  value.remove_prefix(kUnit.size());
  const std::size_t dash = value.find('-');
  const std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const auto first = Decimal(value.substr(0, dash));
  const auto last = Decimal(value.substr(dash + 1, slash - dash - 1));
  const auto complete = Decimal(value.substr(slash + 1));
  if (!first || !last || !complete || *first > *last || *last >= *complete) return std::nullopt;
  return ContentRange{*first, *last, *complete};
}

std::optional<std::uint64_t> ParseRetryAfter(std::string_view value, std::time_t now) {
  if (const auto seconds = Decimal(value)) return seconds;
  const auto date = ParseImfFixdate(value);
  if (!date) return std::nullopt;
  const std::int64_t from_now = *date - static_cast<std::int64_t>(now);
  return from_now > 0 ? static_cast<std::uint64_t>(from_now) : 0;
}

}  // namespace transfer
