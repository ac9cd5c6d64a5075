#include "agentcache/cache_directory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/scratch_directory.h"

namespace {

using testing_support::ScopedEnvironment;
using testing_support::ScratchDirectory;

const char* const kRoot = ".quenth/app_installer_cache/Q4096c/oslin64/";

std::string AccountHome() { return getpwuid(getuid())->pw_dir; }

TEST(AgentCacheDirectory, JoinsHomeAndCacheRootWithExactlyOneSeparator) {
  {
    const ScopedEnvironment home("HOME", "/home/u");
    EXPECT_EQ(agentcache::AgentCacheDirectory(), std::string("/home/u/") + kRoot);
  }
  {
    const ScopedEnvironment home("HOME", "/home/u/");
    EXPECT_EQ(agentcache::AgentCacheDirectory(), std::string("/home/u/") + kRoot);
  }
  {
    const ScopedEnvironment home("HOME", "/");
    EXPECT_EQ(agentcache::AgentCacheDirectory(), std::string("/") + kRoot);
  }
}

TEST(AgentCacheDirectory, WithoutHomeTheAccountsOwnHomeIsUsedNotTmp) {
  const std::string account_home = AccountHome();
  ASSERT_FALSE(account_home.empty());
  const std::string separator = account_home.size() > 1 && account_home.back() != '/' ? "/" : "";
  const std::string expected = account_home + separator + kRoot;
  {
    const ScopedEnvironment home("HOME", std::nullopt);
    EXPECT_EQ(agentcache::AgentCacheDirectory(), expected);
  }
  {
    const ScopedEnvironment home("HOME", "");
    EXPECT_EQ(agentcache::AgentCacheDirectory(), expected);
  }
}

TEST(InstallEntryPath, AddsTheSeparatorOnlyWhenMissing) {
  EXPECT_EQ(agentcache::InstallEntryPath("/a/b"), "/a/b/install");
  EXPECT_EQ(agentcache::InstallEntryPath("/a/b/"), "/a/b/install");
  EXPECT_EQ(agentcache::InstallEntryPath(""), "install");
}

TEST(InstalledAgentDirectory, CompleteExactlyWhenTheEntryScriptExists) {
  const ScratchDirectory home;
  const ScopedEnvironment home_variable("HOME", home.path());
  const std::string cache_directory = home.path() + "/" + kRoot;
  const std::string agent_directory = cache_directory + "installagent/";
  EXPECT_EQ(agentcache::InstalledAgentDirectory(cache_directory), "");

  ASSERT_EQ(std::system(("mkdir -p '" + agent_directory + "'").c_str()), 0);
  EXPECT_EQ(agentcache::InstalledAgentDirectory(cache_directory), "")
      << "an empty agent directory is not complete";

  testing_support::WriteFile(agent_directory + "install", "echo hi\n");
  EXPECT_EQ(agentcache::InstalledAgentDirectory(cache_directory), agent_directory);

  ASSERT_EQ(unlink((agent_directory + "install").c_str()), 0);
  ASSERT_EQ(mkdir((agent_directory + "install").c_str(), 0700), 0);
  EXPECT_EQ(agentcache::InstalledAgentDirectory(cache_directory), agent_directory)
      << "any kind of entry counts";
}

}  // namespace
