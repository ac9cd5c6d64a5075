#include "localfs/self_extraction.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/scratch_directory.h"

namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;

std::vector<std::string> messages;
void RecordMessage(const std::string& text, bool is_error) {
  EXPECT_TRUE(is_error);
  messages.push_back(text);
}

class UnpackInstallAgentTest : public ::testing::Test {
 protected:
  void SetUp() override { messages.clear(); }

  // A real agent archive made by the independent zip tool.
  std::string MakeAgentArchive(const std::string& name) {
    const std::string source = scratch_ / "agent-source";
    std::system(("mkdir -p '" + source + "'").c_str());
    testing_support::WriteFile(source + "/install", "echo installing\n", 0755);
    const std::string archive = scratch_ / name;
    const std::string command = "cd '" + source + "' && zip -q '" + archive + "' install";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return archive;
  }

  ScratchDirectory scratch_;
};

TEST_F(UnpackInstallAgentTest, UnpacksIntoTheDestinationAndAgainOverIt) {
  const std::string archive = MakeAgentArchive("InstallAgent.zip");
  const std::string destination = scratch_ / "installagent";
  ASSERT_TRUE(localfs::UnpackInstallAgent(archive, destination, "unzip", RecordMessage));
  EXPECT_EQ(ReadFile(destination + "/install"), "echo installing\n");
  testing_support::WriteFile(destination + "/install", "stale\n");
  testing_support::WriteFile(destination + "/left-over", "old\n");
  ASSERT_TRUE(localfs::UnpackInstallAgent(archive, destination, "unzip", RecordMessage));
  EXPECT_EQ(ReadFile(destination + "/install"), "echo installing\n") << "overwritten, no prompt";
  EXPECT_TRUE(Exists(destination + "/left-over")) << "files the archive lacks stay";
  EXPECT_TRUE(messages.empty());
}

TEST_F(UnpackInstallAgentTest, PathsWithBlanksAndShellTextWork) {
  const std::string archive = MakeAgentArchive("agent $(touch INJECTED) `x`.zip");
  const std::string destination = scratch_ / "dest `touch INJECTED` \"d\" 's";
  ASSERT_TRUE(localfs::UnpackInstallAgent(archive, destination, "unzip", RecordMessage));
  EXPECT_TRUE(Exists(destination + "/install"));
  EXPECT_FALSE(Exists(scratch_ / "INJECTED"));
  EXPECT_FALSE(Exists("INJECTED"));
}

TEST_F(UnpackInstallAgentTest, AMissingArchiveFailsSilentlyWithoutRunningAnything) {
  const ScratchDirectory tools;
  const testing_support::FakeTool unzip(tools, "unzip", "touch '" + (tools / "ran") + "'");
  EXPECT_FALSE(localfs::UnpackInstallAgent(scratch_ / "absent.zip", scratch_ / "dest", "unzip",
                                           RecordMessage));
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(Exists(tools / "ran"));
}

TEST_F(UnpackInstallAgentTest, WarningsOnlyStillCountAsFailure) {
  // Bytes in front of an archive whose offsets were not adjusted: unzip extracts it but
  // exits with 1.
  const std::string archive = MakeAgentArchive("plain.zip");
  const std::string prefixed = scratch_ / "prefixed.zip";
  testing_support::WriteFile(prefixed, "some leading bytes\n" + ReadFile(archive));
  EXPECT_FALSE(localfs::UnpackInstallAgent(prefixed, scratch_ / "dest", "unzip", RecordMessage));
  EXPECT_EQ(messages, std::vector<std::string>{"Failed to unzip the install agent"});
}

TEST_F(UnpackInstallAgentTest, ADamagedArchiveOrAMissingProgramIsReported) {
  testing_support::WriteFile(scratch_ / "broken.zip", "PK\x03\x04 not really an archive");
  EXPECT_FALSE(localfs::UnpackInstallAgent(scratch_ / "broken.zip", scratch_ / "dest", "unzip",
                                           RecordMessage));
  const std::string archive = MakeAgentArchive("good.zip");
  EXPECT_FALSE(localfs::UnpackInstallAgent(archive, scratch_ / "dest", "no-such-unzip-program",
                                           RecordMessage));
  EXPECT_EQ(messages, (std::vector<std::string>{"Failed to unzip the install agent",
                                                "Failed to unzip the install agent"}));
}

}  // namespace
