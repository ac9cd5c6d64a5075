#include "bootstrap/console_message_sink.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleMessageSink, ErrorsGoToStandardErrorAsOneLineEach) {
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  bootstrap::ConsoleMessageSink("Installation failed.", true);
  bootstrap::ConsoleMessageSink("", true);
  bootstrap::ConsoleMessageSink("two\n\nparts\n", true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Installation failed.\n\ntwo\n\nparts\n\n");
}

TEST(ConsoleMessageSink, PlainMessagesGoToStandardOutput) {
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  bootstrap::ConsoleMessageSink(std::string("with\0nul", 8), false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string("with\0nul\n", 9));
}

}  // namespace
