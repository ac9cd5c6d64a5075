#include "transfer/response_headers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "agentcache/guarded_bytes.h"

namespace {

using agentcache_test::GuardedBytes;
using transfer::CaptureETagHeader;
using transfer::kETagCaptureSize;

// The capture buffer as the download holds it, with nothing writable after its 64 bytes.
class CaptureBuffer {
 public:
  CaptureBuffer() { std::memset(buffer_.data(), 0, kETagCaptureSize); }

  // Feeds one header line as libcurl does: not NUL-terminated, nothing readable after it.
  std::size_t Feed(const std::string& line) {
    const GuardedBytes header_line(line);
    char* address = buffer_.data();
    return CaptureETagHeader(header_line.data(), 1, line.size(), &address);
  }

  [[nodiscard]] std::string text() const {
    return std::string(buffer_.data(), strnlen(buffer_.data(), kETagCaptureSize));
  }
  [[nodiscard]] bool terminated() const {
    return std::memchr(buffer_.data(), '\0', kETagCaptureSize) != nullptr;
  }
  [[nodiscard]] bool front_untouched() const { return buffer_.FrontUntouched(); }

 private:
  GuardedBytes buffer_{kETagCaptureSize};
};

// A header line of exactly the given length: "ETag: " and filler, then CR LF.
std::string ETagLineOfLength(std::size_t length) {
  return "ETag: " + std::string(length - 8, 'x') + "\r\n";
}

TEST(CaptureETagHeader, KeepsTheLineAsSentLessItsLastByte) {
  CaptureBuffer capture;
  capture.Feed("ETag: \"abc\"\r\n");
  EXPECT_EQ(capture.text(), "ETag: \"abc\"\r") << "the CR stays, the LF goes";

  capture.Feed("ETag: \"abc\"\n");
  EXPECT_EQ(capture.text(), "ETag: \"abc\"") << "a bare LF line end leaves no CR";
}

TEST(CaptureETagHeader, MatchesTheNameInAnyLetterCaseAndKeepsTheServersCase) {
  CaptureBuffer capture;
  capture.Feed("etag: W/\"v1\"\r\n");
  EXPECT_EQ(capture.text(), "etag: W/\"v1\"\r");
  capture.Feed("ETAG: \"v2\"\r\n");
  EXPECT_EQ(capture.text(), "ETAG: \"v2\"\r");
}

TEST(CaptureETagHeader, IgnoresLinesThatDoNotBeginWithTheNameColonAndSpace) {
  CaptureBuffer capture;
  capture.Feed("ETag: \"kept\"\r\n");
  for (const std::string line :
       {"ETag:\"abc\"\r\n", "ETag:\t\"abc\"\r\n", "X-ETag: \"abc\"\r\n", "ETags: \"abc\"\r\n",
        "HTTP/1.1 200 OK\r\n", "\r\n", "ETa", "ETag:", ""}) {
    EXPECT_EQ(capture.Feed(line), line.size()) << line;
    EXPECT_EQ(capture.text(), "ETag: \"kept\"\r") << "after " << line;
  }
}

TEST(CaptureETagHeader, TheLastMatchingLineWins) {
  CaptureBuffer capture;
  capture.Feed("ETag: \"first-and-longer\"\r\n");
  capture.Feed("Location: /next\r\n");
  capture.Feed("ETag: \"2nd\"\r\n");
  EXPECT_EQ(capture.text(), "ETag: \"2nd\"\r") << "a shorter line leaves no tail of the longer";
}

TEST(CaptureETagHeader, ALineThatFillsTheBufferIsKeptWholeOneMoreByteEmptiesIt) {
  CaptureBuffer capture;
  const std::string fitting = ETagLineOfLength(kETagCaptureSize);
  EXPECT_EQ(capture.Feed(fitting), kETagCaptureSize);
  EXPECT_EQ(capture.text(), fitting.substr(0, kETagCaptureSize - 1));
  EXPECT_TRUE(capture.terminated());

  const std::string too_long = ETagLineOfLength(kETagCaptureSize + 1);
  EXPECT_EQ(capture.Feed(too_long), kETagCaptureSize + 1);
  EXPECT_EQ(capture.text(), "") << "a cut-off tag must not stand for the whole one";

  const std::string much_too_long = ETagLineOfLength(2000);
  capture.Feed("ETag: \"short\"\r\n");
  EXPECT_EQ(capture.Feed(much_too_long), much_too_long.size());
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(capture.front_untouched());
}

TEST(CaptureETagHeader, ANulInsideTheLineEndsTheCopy) {
  CaptureBuffer capture;
  capture.Feed(std::string("ETag: \"ab\0cd\"\r\n", 15));
  EXPECT_EQ(capture.text(), "ETag: \"ab");
}

TEST(CaptureETagHeader, ReturnsTheLineLengthForEverySizeAndCountSplit) {
  const GuardedBytes line(std::string("ETag: \"v\"\r\n"));
  GuardedBytes buffer(kETagCaptureSize);
  char* address = buffer.data();
  EXPECT_EQ(CaptureETagHeader(line.data(), 1, 11, &address), 11u);
  EXPECT_EQ(CaptureETagHeader(line.data(), 11, 1, &address), 11u);
  EXPECT_EQ(std::string(buffer.data()), "ETag: \"v\"\r");
}

}  // namespace

namespace {

using transfer::ContentRange;
using transfer::ParseContentRange;
using transfer::ParseRetryAfter;
using transfer::ResponseHeaders;
using transfer::StrongETag;

// A resume is appended only after a Content-Range that names its bytes exactly: anything
// unusual is no range at all.
TEST(ContentRangeTest, OnlyAWholeConsistentRangeIsTaken) {
  const auto range = ParseContentRange("bytes 100-199/200");
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 100U);
  EXPECT_EQ(range->last, 199U);
  EXPECT_EQ(range->complete, 200U);
  for (const char* refused :
       {"bytes 100-199/*", "bytes */200", "bytes 200-100/300", "bytes 100-200/200", "bytes -5/9",
        "bytes 1-2/3 ", "Bytes 1-2/3", "bytes 1-2", "bytes 99999999999999999999-1/2",
        "bytes +1-2/3", "items 1-2/3", ""}) {
    EXPECT_FALSE(ParseContentRange(refused).has_value()) << refused;
  }
}

TEST(RetryAfterTest, SecondsOrAnHttpDateFromNow) {
  constexpr std::time_t kNow = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(ParseRetryAfter("2", kNow), 2U);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:49:39 GMT", kNow), 2U);
  EXPECT_EQ(ParseRetryAfter("Sat, 01 Mar 2025 00:00:00 GMT", 1740787200 - 30), 30U);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:49:00 GMT", kNow), 0U);  // already past
  for (const char* refused :
       {"", "-1", "2.5", "soon", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 UTC",
        "Sun, 36 Nov 1994 08:49:37 GMT", "Sun, 06 Nox 1994 08:49:37 GMT"}) {
    EXPECT_FALSE(ParseRetryAfter(refused, kNow).has_value()) << refused;
  }
}

// If-Range may carry a strong tag only; a weak or malformed one asks for no range.
TEST(StrongETagTest, OnlyAQuotedStrongTag) {
  EXPECT_EQ(StrongETag("\"v1\""), "\"v1\"");
  for (const char* refused : {"W/\"v1\"", "v1", "\"v1", "\"v\"1\"", "\"a b\"", ""}) {
    EXPECT_EQ(StrongETag(refused), "") << refused;
  }
}

// A redirect's headers never speak for the response that follows it.
TEST(ResponseHeadersTest, EachStatusLineStartsAfresh) {
  ResponseHeaders headers;
  for (const char* line :
       {"HTTP/1.1 302 Found\r\n", "ETag: \"redirect\"\r\n", "Retry-After: 5\r\n",
        "HTTP/1.1 200 OK\r\n", "etag:  \"v1\" \r\n", "content-type: text/html\r\n",
        "Transfer-Encoding: gzip, Chunked\r\n", "Content-Range: bytes 0-1/2\r\n"}) {
    headers.Take(line);
  }
  EXPECT_EQ(headers.etag, "\"v1\"");
  EXPECT_EQ(headers.retry_after, "");
  EXPECT_EQ(headers.content_type, "text/html");
  EXPECT_EQ(headers.content_range, "bytes 0-1/2");
  EXPECT_TRUE(headers.chunked);
  headers.Take("ETag: \"" + std::string(transfer::kHeaderValueLimit, 'x') + "\"\r\n");
  EXPECT_EQ(headers.etag, "");
}

}  // namespace
