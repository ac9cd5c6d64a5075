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
