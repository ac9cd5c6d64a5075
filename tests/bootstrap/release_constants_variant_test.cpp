// Built against release constants configured for another label and tag: both composed
// values change, and nothing else does.
#include <gtest/gtest.h>

#include "base/release_constants.h"

namespace {

using namespace base;

TEST(ReleaseConstantsVariant, LabelAndTagChangeBothComposedValues) {
  EXPECT_EQ(ReleaseLabel, "Z1test");
  EXPECT_EQ(PlatformTag, "otherplat");
  EXPECT_EQ(AgentCacheRoot, ".quenth/app_installer_cache/Z1test/otherplat/");
  EXPECT_EQ(AgentDownloadUrl, "https://agents.example.org/pi_install_agent_pi_Z1test_otherplat");
}

TEST(ReleaseConstantsVariant, EveryOtherConstantIsUnchanged) {
  EXPECT_EQ(PathSeparator, "/");
  EXPECT_EQ(NameSeparator, "_");
  EXPECT_EQ(AgentArchiveName, "InstallAgent.zip");
  EXPECT_EQ(AgentProgramName, "installagent");
  EXPECT_EQ(ValidationMarkerName, ".validatestring");
}

}  // namespace
