// The unit-test binary carries no appended archive, so these cases put a scripted unzip
// first on PATH to play each way the real one can end; the real unzip on real launcher
// files is exercised by the end-to-end suite.
#include "localfs/self_extraction.h"

#include <gtest/gtest.h>

#include "common/scratch_directory.h"

namespace {

using testing_support::FakeTool;
using testing_support::ScratchDirectory;

void IgnoreMessage(const std::string&, bool) { ADD_FAILURE() << "extraction reports nothing"; }

struct UnzipEnding {
  const char* script;  // run as the fake unzip; $T is the target directory
  int expected;
};

class ExtractLauncherArchiveEnding : public ::testing::TestWithParam<UnzipEnding> {};

TEST_P(ExtractLauncherArchiveEnding, OnlyANormalEndWithBundleZipIsSuccess) {
  const ScratchDirectory tools;
  const ScratchDirectory target;
  const FakeTool unzip(tools, "unzip", std::string("T=\"$4\"\n") + GetParam().script);
  EXPECT_EQ(localfs::ExtractLauncherArchive(target.path(), IgnoreMessage), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Endings, ExtractLauncherArchiveEnding,
                         ::testing::Values(UnzipEnding{"echo b > \"$T/bundle.zip\"; exit 0", 0},
                                           UnzipEnding{"echo b > \"$T/bundle.zip\"; exit 1", 0},
                                           UnzipEnding{"echo b > \"$T/bundle.zip\"; exit 2", 201},
                                           UnzipEnding{"echo b > \"$T/bundle.zip\"; exit 9", 201},
                                           UnzipEnding{"exit 0", 201},
                                           UnzipEnding{"echo b > \"$T/bundle.zip\"; kill -KILL $$",
                                                       201}));

// unzip reads the executing file itself, which a rename or replacement of the launcher file
// after the start does not change.
TEST(ExtractLauncherArchive, TheCommandNamesTheExecutingFileAndTheTarget) {
  const ScratchDirectory tools;
  const ScratchDirectory target;
  const std::string log = tools / "args";
  const FakeTool unzip(tools, "unzip",
                       "printf '%s\\n' \"$@\" > '" + log + "'; echo b > \"$4/bundle.zip\"");
  ASSERT_EQ(localfs::ExtractLauncherArchive(target.path(), IgnoreMessage), 0);
  EXPECT_EQ(testing_support::ReadFile(log),
            "-qq\n/proc/" + std::to_string(getpid()) + "/exe\n-d\n" + target.path() + "\n");
}

TEST(ExtractLauncherArchive, ATargetWithBlanksAndShellTextStaysOneLiteralWord) {
  const ScratchDirectory tools;
  const ScratchDirectory scratch;
  const std::string target = scratch / "my dir $(touch INJECTED) `x` \"q\"";
  ASSERT_EQ(std::system(("mkdir '" + target + "'").c_str()), 0);
  const FakeTool unzip(tools, "unzip", "echo b > \"$4/bundle.zip\"");
  EXPECT_EQ(localfs::ExtractLauncherArchive(target, IgnoreMessage), 0);
  EXPECT_TRUE(testing_support::Exists(target + "/bundle.zip"));
  EXPECT_FALSE(testing_support::Exists(scratch / "INJECTED"));
}

TEST(ExtractLauncherArchive, TheRealUnzipFindsNoArchiveInAPlainExecutable) {
  const ScratchDirectory target;
  const testing_support::ScopedEnvironment quiet("UNZIP", "-qq");
  EXPECT_EQ(localfs::ExtractLauncherArchive(target.path(), IgnoreMessage), 201);
  EXPECT_FALSE(testing_support::Exists(target / "bundle.zip"));
}

}  // namespace
