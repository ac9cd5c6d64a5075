#include "agentcache/cache_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/scratch_directory.h"

namespace {

using agentcache::ValidationMarkerMatches;
using agentcache::WriteValidationMarker;
using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;
using testing_support::WriteFile;

class ValidationMarkerTest : public ::testing::Test {
 protected:
  // Like the agent cache directory, the directory ends in a separator.
  std::string directory() const { return scratch_.path() + "/"; }
  std::string marker() const { return scratch_ / ".validatestring"; }

  ScratchDirectory scratch_;
};

TEST_F(ValidationMarkerTest, WritesTheValueExactlyWithoutLineEndAndReadsItBack) {
  WriteValidationMarker(directory(), "ETag: \"v1\"\r");
  EXPECT_EQ(ReadFile(marker()), "ETag: \"v1\"\r");
  EXPECT_TRUE(ValidationMarkerMatches(directory(), "ETag: \"v1\"\r"));

  WriteValidationMarker(directory(), "ETag: 2");
  EXPECT_EQ(ReadFile(marker()), "ETag: 2") << "the longer old record is truncated";
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v1\"\r"));
}

TEST_F(ValidationMarkerTest, ComparesOnlyTheFirstLineByteForByte) {
  WriteFile(marker(), "ETag: \"v1\"\r\nsecond line\n");
  EXPECT_TRUE(ValidationMarkerMatches(directory(), "ETag: \"v1\"\r"));
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v1\""));
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v1\"\r\nsecond line"));
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "etag: \"v1\"\r")) << "letter case counts";

  WriteFile(marker(), "ETag: \"v1\"");
  EXPECT_TRUE(ValidationMarkerMatches(directory(), "ETag: \"v1\"")) << "no LF: up to end of file";
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v"));
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v1\"x"));

  WriteFile(marker(), "\nETag: \"v1\"");
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: \"v1\""));
}

TEST_F(ValidationMarkerTest, AnEmptyValueNeverMatchesAndIsNeverWritten) {
  WriteFile(marker(), "");
  EXPECT_FALSE(ValidationMarkerMatches(directory(), ""));

  WriteFile(marker(), "ETag: old");
  WriteValidationMarker(directory(), "");
  EXPECT_EQ(ReadFile(marker()), "ETag: old");
}

TEST_F(ValidationMarkerTest, WithAnEmptyDirectoryNothingIsWritten) {
  const bool existed_before = Exists("/.validatestring");
  WriteValidationMarker("", "ETag: x");
  EXPECT_EQ(Exists("/.validatestring"), existed_before);
}

TEST_F(ValidationMarkerTest, AMissingOrUnreadableMarkerDoesNotMatch) {
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: x"));
  EXPECT_FALSE(ValidationMarkerMatches(scratch_ / "no-such-directory/", "ETag: x"));

  ASSERT_EQ(mkdir(marker().c_str(), 0700), 0);
  EXPECT_FALSE(ValidationMarkerMatches(directory(), "ETag: x")) << "a directory in its place";
  WriteValidationMarker(directory(), "ETag: x");  // cannot be written; nothing is reported
  struct stat entry {};
  ASSERT_EQ(stat(marker().c_str(), &entry), 0);
  EXPECT_TRUE(S_ISDIR(entry.st_mode));
}

TEST_F(ValidationMarkerTest, AHugeMarkerWithoutLineEndIsComparedCorrectly) {
  const std::string value = "ETag: \"" + std::string(50, 'a') + "\"\r";
  WriteFile(marker(), value + std::string(1 << 20, 'z'));
  EXPECT_FALSE(ValidationMarkerMatches(directory(), value));
  WriteFile(marker(), value + "\n" + std::string(1 << 20, 'z'));
  EXPECT_TRUE(ValidationMarkerMatches(directory(), value));
}

}  // namespace
