#include "launch/launch_agent.h"

#include <gtest/gtest.h>
#include <csignal>
#include <vector>

#include "common/scratch_directory.h"
#include "localfs/command_lines.h"

namespace {

using testing_support::ReadFile;
using testing_support::ScratchDirectory;

void NoMessageExpected(const std::string& text, bool) { ADD_FAILURE() << "unexpected: " << text; }

class LaunchInstallAgentTest : public ::testing::Test {
 protected:
  // An entry script that records its arguments one per line, then ends as told.
  std::string MakeAgent(const std::string& ending) {
    const std::string script = scratch_ / "install";
    testing_support::WriteFile(script, "for a; do printf '%s\\n' \"$a\"; done > '" +
                                           (scratch_ / "received") + "'\n" + ending + "\n");
    return script;
  }

  std::optional<int> Launch(const std::string& script, std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "setup");
    arguments.push_back(nullptr);
    return launch::LaunchInstallAgent(localfs::AgentCommandHead(script), "/tmp/qxAbC123",
                                      static_cast<int>(arguments.size() - 1),
                                      const_cast<char**>(arguments.data()), NoMessageExpected);
  }

  ScratchDirectory scratch_;
};

TEST_F(LaunchInstallAgentTest, TheAgentGetsTheBundleOptionThenTheArgumentsSplitAtBlanks) {
  const std::optional<int> status = Launch(MakeAgent("exit 0"), {"-a", "b c"});
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(ReadFile(scratch_ / "received"),
            "-installbundle\n/tmp/qxAbC123/bundle.zip\n-a\nb\nc\n");
}

TEST_F(LaunchInstallAgentTest, WithoutArgumentsOnlyTheBundleIsNamed) {
  ASSERT_EQ(Launch(MakeAgent("exit 0"), {}), std::optional<int>(0));
  EXPECT_EQ(ReadFile(scratch_ / "received"), "-installbundle\n/tmp/qxAbC123/bundle.zip\n");
}

TEST_F(LaunchInstallAgentTest, TheAgentsFailureBecomesTheLaunchersStatus) {
  EXPECT_EQ(Launch(MakeAgent("exit 3"), {}), std::optional<int>(3));
  EXPECT_EQ(Launch(MakeAgent("exit 255"), {}), std::optional<int>(255));
  EXPECT_EQ(Launch(MakeAgent("kill -TERM $$"), {}), std::optional<int>(128 + SIGTERM));
}

TEST_F(LaunchInstallAgentTest, AMissingEntryScriptIsTheShellsFailureNotAFailedHandOver) {
  const std::optional<int> status = Launch(scratch_ / "no-such-install", {});
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
}

TEST_F(LaunchInstallAgentTest, AnEntryScriptPathWithBlanksAndQuotesRuns) {
  const std::string directory = scratch_ / "agent dir \"q\" $HOME";
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  const std::string script = directory + "/install";
  testing_support::WriteFile(script, "echo ran > '" + (scratch_ / "received") + "'\n");
  ASSERT_EQ(Launch(script, {}), std::optional<int>(0));
  EXPECT_EQ(ReadFile(scratch_ / "received"), "ran\n");
}

}  // namespace
