#include "localfs/command_lines.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLines, PlainWordsGiveThePlainCommandText) {
  EXPECT_EQ(localfs::SelfExtractionCommand("/opt/pkg/setup", "/tmp/qx1a2B3c"),
            "unzip -qq /opt/pkg/setup -d /tmp/qx1a2B3c");
  EXPECT_EQ(localfs::AgentUnpackCommand("unzip", "/tmp/a/InstallAgent.zip", "/tmp/a/installagent"),
            "unzip -qq -o /tmp/a/InstallAgent.zip -d /tmp/a/installagent");
  EXPECT_EQ(localfs::TreeRemovalCommand("/h/.quenth/installagent"),
            "rm -rf '/h/.quenth/installagent'");
  EXPECT_EQ(localfs::WorkDirectoryRemovalCommand("/tmp/qx4Fz9Qa"), "rm -rf /tmp/qx4Fz9Qa");
}

TEST(CommandLines, ALauncherPathWithABlankIsDoubleQuoted) {
  EXPECT_EQ(localfs::SelfExtractionCommand("/home/u/my downloads/setup", "/tmp/qx1a2B3c"),
            "unzip -qq \"/home/u/my downloads/setup\" -d /tmp/qx1a2B3c");
  EXPECT_EQ(localfs::SelfExtractionCommand("", "/tmp/qx1a2B3c"), "unzip -qq  -d /tmp/qx1a2B3c");
}

TEST(AgentCommandLine, EndsWithTheBundlePathWithoutArguments) {
  const char* argv[] = {"setup", nullptr};
  const std::string head = localfs::AgentCommandHead("/c/installagent/install");
  EXPECT_EQ(localfs::AgentCommandLine(head, "/tmp/qx4Fz9Qa", 1, argv),
            "sh /c/installagent/install -installbundle /tmp/qx4Fz9Qa/bundle.zip");
}

TEST(AgentCommandLine, PassesArgumentsOnEachFollowedByABlank) {
  const char* argv[] = {"setup", "-a", "b c", nullptr};
  const std::string head = localfs::AgentCommandHead(
      "/home/user/.quenth/app_installer_cache/Q4096c/oslin64/installagent/install");
  EXPECT_EQ(localfs::AgentCommandLine(head, "/tmp/qx4Fz9Qa", 3, argv),
            "sh /home/user/.quenth/app_installer_cache/Q4096c/oslin64/installagent/install "
            "-installbundle /tmp/qx4Fz9Qa/bundle.zip -a b c ");
}

TEST(AgentCommandLine, PathsWithBlanksAreDoubleQuoted) {
  const char* argv[] = {"setup", nullptr};
  EXPECT_EQ(
      localfs::AgentCommandLine(localfs::AgentCommandHead("/my dir/install"), "/w d", 1, argv),
      "sh \"/my dir/install\" -installbundle \"/w d/bundle.zip\"");
}

}  // namespace
