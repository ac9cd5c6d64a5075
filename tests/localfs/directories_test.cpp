#include "localfs/paths.h"
#include "localfs/shell_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cerrno>

#include "common/scratch_directory.h"

namespace {

using testing_support::Exists;
using testing_support::ScratchDirectory;

bool IsDirectory(const std::string& path) {
  struct stat entry {};
  return stat(path.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode);
}

TEST(MakeDirectories, CreatesEveryMissingComponentWithTheGivenMode) {
  const ScratchDirectory scratch;
  const std::string chain = scratch / "a//b/c/";
  EXPECT_EQ(localfs::MakeDirectories(chain, 0700), 0);
  EXPECT_TRUE(IsDirectory(scratch / "a/b/c"));
  struct stat entry {};
  ASSERT_EQ(stat((scratch / "a/b").c_str(), &entry), 0);
  EXPECT_EQ(entry.st_mode & 0777, 0700u);
  EXPECT_EQ(localfs::MakeDirectories(chain, 0700), 0) << "existing directories are fine";
}

TEST(MakeDirectories, StopsAtAFileInTheWay) {
  const ScratchDirectory scratch;
  testing_support::WriteFile(scratch / "file", "x");
  errno = 0;
  EXPECT_EQ(localfs::MakeDirectories(scratch / "file/below/deeper", 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(Exists(scratch / "file/below"));
}

TEST(MakeDirectories, AFailedMkdirIsNotReported) {
  EXPECT_EQ(localfs::MakeDirectories("", 0700), 0);
  EXPECT_EQ(localfs::MakeDirectories("/proc/no-such-place/x", 0700), 0);
}

TEST(EnsureDirectory, AcceptsALinkToADirectory) {
  const ScratchDirectory scratch;
  ASSERT_EQ(mkdir((scratch / "real").c_str(), 0700), 0);
  ASSERT_EQ(symlink((scratch / "real").c_str(), (scratch / "link").c_str()), 0);
  EXPECT_EQ(localfs::EnsureDirectory(scratch / "link", 0700), 0);
}

TEST(RemoveTree, RemovesATreeWhoseNameHoldsQuotesAndCommandText) {
  const ScratchDirectory scratch;
  const std::string hostile = scratch / "it's $(touch INJECTED) `touch INJECTED` ; touch INJECTED";
  ASSERT_EQ(mkdir(hostile.c_str(), 0700), 0);
  testing_support::WriteFile(hostile + "/inside", "x");
  localfs::RemoveTree(hostile);
  EXPECT_FALSE(Exists(hostile));
  EXPECT_FALSE(Exists(scratch / "INJECTED"));
  EXPECT_FALSE(Exists("INJECTED"));
}

TEST(RemoveTree, RunsNoCommandWhenNothingIsThere) {
  const ScratchDirectory scratch;
  const ScratchDirectory tools;
  const testing_support::FakeTool rm(tools, "rm", "echo \"$@\" >> '" + (scratch / "rm.log") + "'");
  localfs::RemoveTree(scratch / "absent");
  EXPECT_FALSE(Exists(scratch / "rm.log"));
  testing_support::WriteFile(scratch / "present", "x");
  localfs::RemoveTree(scratch / "present");
  EXPECT_EQ(testing_support::ReadFile(scratch / "rm.log"), "-rf " + (scratch / "present") + "\n");
}

TEST(RemoveTree, RemovesADanglingLinkInTheWay) {
  const ScratchDirectory scratch;
  ASSERT_EQ(symlink((scratch / "nowhere").c_str(), (scratch / "dangling").c_str()), 0);
  localfs::RemoveTree(scratch / "dangling");
  EXPECT_FALSE(Exists(scratch / "dangling"));
}

}  // namespace
