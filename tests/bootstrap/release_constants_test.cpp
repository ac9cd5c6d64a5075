#include "base/release_constants.h"

#include <gtest/gtest.h>

#include "base/release_config.h"

namespace {

using namespace base;

TEST(ReleaseConstants, LiteralsHoldTheirFixedNames) {
  EXPECT_EQ(PathSeparator, "/");
  EXPECT_EQ(NameSeparator, "_");
  EXPECT_EQ(AgentArchiveName, "InstallAgent.zip");
  EXPECT_EQ(AgentProgramName, "installagent");
  EXPECT_EQ(ValidationMarkerName, ".validatestring");
}

TEST(ReleaseConstants, CacheRootIsRelativeWithOneTrailingSeparator) {
  EXPECT_EQ(AgentCacheRoot,
            ".quenth/app_installer_cache/" + ReleaseLabel + "/" + PlatformTag + "/");
  EXPECT_NE(AgentCacheRoot.front(), '/');
  EXPECT_EQ(AgentCacheRoot.find("//"), std::string::npos);
}

TEST(ReleaseConstants, DownloadUrlEndsWithTheLabelAndTagJoinedByOneUnderscore) {
  EXPECT_EQ(AgentDownloadUrl, std::string("https://") + SETUP_DOWNLOAD_HOST +
                                  "/pi_install_agent_pi_" + ReleaseLabel + "_" + PlatformTag);
}

TEST(ReleaseConstants, DefaultBuildIsForReleaseQ4096cOnAReservedHost) {
  // The project's default configuration; a build with other cache variables changes this.
  if (ReleaseLabel != "Q4096c" || PlatformTag != "oslin64") GTEST_SKIP() << "a custom release";
  EXPECT_EQ(AgentCacheRoot, ".quenth/app_installer_cache/Q4096c/oslin64/");
  const std::string host = SETUP_DOWNLOAD_HOST;
  EXPECT_TRUE(host.size() > 12 && host.compare(host.size() - 12, 12, ".example.com") == 0)
      << "the default host must lie under a reserved example domain: " << host;
}

}  // namespace
