#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "transfer/progress_line.h"

namespace {

using std::chrono::milliseconds;
using transfer::FormatByteCount;
using transfer::FormatProgressLine;
using transfer::ProgressDisplay;
using transfer::TransferProgress;

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(FormatByteCount, UsesBinaryUnitsWithOneDecimalAndNeverShows1024OfAUnit) {
  EXPECT_EQ(FormatByteCount(0), "0 B");
  EXPECT_EQ(FormatByteCount(1023), "1023 B");
  EXPECT_EQ(FormatByteCount(1024), "1.0 KiB");
  EXPECT_EQ(FormatByteCount(1536), "1.5 KiB");
  EXPECT_EQ(FormatByteCount(kMiB - 1), "1.0 MiB");
  EXPECT_EQ(FormatByteCount(kMiB * 123 / 10), "12.3 MiB");
  EXPECT_EQ(FormatByteCount(512 * kMiB), "512.0 MiB");
  EXPECT_EQ(FormatByteCount(5 * 1024 * kMiB), "5.0 GiB");
  EXPECT_EQ(FormatByteCount(3ULL * 1024 * 1024 * kMiB), "3.0 TiB");
  EXPECT_EQ(FormatByteCount(5000ULL * 1024 * 1024 * kMiB), "5000.0 TiB") << "no unit past TiB";
}

TEST(FormatProgressLine, WithAKnownTotalShowsTotalPercentageAndRate) {
  EXPECT_EQ(FormatProgressLine({256 * kMiB, 512 * kMiB, 2.0}),
            "Downloading install agent: 256.0 MiB of 512.0 MiB (50%), 128.0 MiB/s");
  EXPECT_EQ(FormatProgressLine({0, 512 * kMiB, 0.5}),
            "Downloading install agent: 0 B of 512.0 MiB (0%), 0 B/s");
}

TEST(FormatProgressLine, WithoutATotalShowsBytesAndRateOnly) {
  EXPECT_EQ(FormatProgressLine({3 * kMiB, 0, 4.0}),
            "Downloading install agent: 3.0 MiB, 768.0 KiB/s");
}

TEST(FormatProgressLine, BeforeAnyTimeHasPassedTheRateIsUnknown) {
  EXPECT_EQ(FormatProgressLine({500, 1000, 0.0}),
            "Downloading install agent: 500 B of 1000 B (50%), -- B/s");
}

TEST(FormatProgressLine, ShowsAHundredPercentOnlyOnceEverythingArrived) {
  const std::uint64_t total = 10ULL * 1024 * 1024 * kMiB;
  EXPECT_NE(FormatProgressLine({total - 1, total, 1.0}).find("(99%)"), std::string::npos);
  EXPECT_NE(FormatProgressLine({total, total, 1.0}).find("(100%)"), std::string::npos);
  EXPECT_NE(FormatProgressLine({total + 5, total, 1.0}).find("(100%)"), std::string::npos)
      << "more than announced is still 100%";
}

// The display writes into a pipe here, so what reaches the terminal can be read back.
class ProgressDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe2(pipe_, O_CLOEXEC | O_NONBLOCK), 0); }
  void TearDown() override {
    close(pipe_[0]);
    close(pipe_[1]);
  }
  std::string Written() {
    std::string text;
    char chunk[4096];
    ssize_t length = 0;
    while ((length = read(pipe_[0], chunk, sizeof chunk)) > 0) {
      text.append(chunk, static_cast<std::size_t>(length));
    }
    return text;
  }

  int pipe_[2] = {-1, -1};
  const ProgressDisplay::Clock::time_point start_ = ProgressDisplay::Clock::now();
};

TEST_F(ProgressDisplayTest, RedrawsInPlaceAtMostEveryIntervalAndEndsWithANewline) {
  {
    ProgressDisplay display(pipe_[1], true, start_);
    display.Update(100, 1000, start_);
    display.Update(200, 1000, start_ + milliseconds(100));  // too soon: not drawn
    display.Update(300, 1000, start_ + milliseconds(300));
    display.Finish(start_ + milliseconds(400));
    display.Update(900, 1000, start_ + milliseconds(900));  // after the end: nothing
    display.Finish(start_ + milliseconds(1000));
  }
  EXPECT_EQ(Written(),
            "\rDownloading install agent: 100 B of 1000 B (10%), -- B/s"
            "\rDownloading install agent: 300 B of 1000 B (30%), 1000 B/s"
            "\rDownloading install agent: 300 B of 1000 B (30%), 750 B/s \n");
}

TEST_F(ProgressDisplayTest, AShorterLineBlanksOutWhatTheLongerOneLeft) {
  ProgressDisplay display(pipe_[1], true, start_);
  display.Update(1000, 0, start_);
  display.Finish(start_ + milliseconds(1000));
  const std::string first = "Downloading install agent: 1000 B, -- B/s";
  const std::string second = "Downloading install agent: 1000 B, 1000 B/s";
  ASSERT_EQ(Written(), "\r" + first + "\r" + second + "\n");

  ProgressDisplay shrinking(pipe_[1], true, start_);
  shrinking.Update(900, 0, start_ + milliseconds(1000));
  shrinking.Update(900, 0, start_ + milliseconds(10000));
  EXPECT_EQ(Written(),
            "\rDownloading install agent: 900 B, 900 B/s"
            "\rDownloading install agent: 900 B, 90 B/s ");
}

TEST_F(ProgressDisplayTest, ALineLeftOpenIsEndedWhenTheDisplayGoesAway) {
  {
    ProgressDisplay display(pipe_[1], true, start_);
    display.Update(10, 0, start_);
  }
  const std::string written = Written();
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back(), '\n');
}

TEST_F(ProgressDisplayTest, WritesNothingAtAllWhenDisabled) {
  {
    ProgressDisplay display(pipe_[1], false, start_);
    display.Update(100, 1000, start_);
    display.Update(1000, 1000, start_ + milliseconds(500));
    display.Finish(start_ + milliseconds(600));
  }
  EXPECT_EQ(Written(), "");
}

TEST_F(ProgressDisplayTest, StandardErrorThatIsNoTerminalGetsNoDisplay) {
  const int saved = dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(pipe_[1], STDERR_FILENO), STDERR_FILENO);
  {
    ProgressDisplay display = ProgressDisplay::ForStandardError(start_);
    EXPECT_FALSE(display.enabled());
    display.Update(100, 1000, start_);
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(Written(), "");
}

}  // namespace
