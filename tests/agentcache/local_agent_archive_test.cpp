#include "agentcache/provision.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/scratch_directory.h"

namespace {

using agentcache::FindLocalAgentArchive;
using testing_support::ScratchDirectory;
using testing_support::WriteFile;

class FindLocalAgentArchiveTest : public ::testing::Test {
 protected:
  void Place(const std::string& name) { WriteFile(work_ / name, "archive"); }

  ScratchDirectory work_;
};

TEST_F(FindLocalAgentArchiveTest, ThePlainArchiveNameWinsOverAVersionedOne) {
  Place("bundle.zip");
  Place("InstallAgent_7.zip");
  Place("InstallAgent.zip");
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), work_ / "InstallAgent.zip");
  EXPECT_EQ(FindLocalAgentArchive(work_.path() + "/"), work_ / "InstallAgent.zip");
}

TEST_F(FindLocalAgentArchiveTest, AVersionedArchiveIsFoundWithOneSeparator) {
  Place("bundle.zip");
  Place("InstallAgent_7.zip");
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), work_ / "InstallAgent_7.zip");
  EXPECT_EQ(FindLocalAgentArchive(work_.path() + "/"), work_ / "InstallAgent_7.zip");
}

TEST_F(FindLocalAgentArchiveTest, AnEmptyVersionCounts) {
  Place("InstallAgent_.zip");
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), work_ / "InstallAgent_.zip");
}

TEST_F(FindLocalAgentArchiveTest, NamesThatOnlyResembleAnArchiveDoNotCount) {
  for (const char* name : {"bundle.zip", "installagent_7.zip", "XInstallAgent_7.zip",
                           "InstallAgent_7.zip.old", "InstallAgent_7.ZIP", "InstallAgent_7zip",
                           "InstallAgent.zip.old", "installagent.zip", "InstallAgent_"}) {
    Place(name);
  }
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), "");
}

TEST_F(FindLocalAgentArchiveTest, AnEntryOfAnyKindIsChosenEvenALinkToNothing) {
  ASSERT_EQ(symlink("no-such-target", (work_ / "InstallAgent_9.zip").c_str()), 0);
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), work_ / "InstallAgent_9.zip");
}

TEST_F(FindLocalAgentArchiveTest, AWorkDirectoryThatCannotBeListedHoldsNone) {
  EXPECT_EQ(FindLocalAgentArchive(work_ / "missing"), "");
  EXPECT_EQ(FindLocalAgentArchive(work_.path()), "") << "an empty directory";
}

}  // namespace
