#include "localfs/work_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <regex>

#include "common/scratch_directory.h"

namespace {

TEST(WorkDirectory, MakesAPrivateDirectoryUnderTmpAndRemovesItWithItsContents) {
  unsetenv("TMPDIR");  // /tmp is the place under test
  std::string path;
  {
    const localfs::WorkDirectory work;
    path = work.path();
    ASSERT_TRUE(std::regex_match(path, std::regex("/tmp/qx[A-Za-z0-9]{6}"))) << path;
    struct stat entry {};
    ASSERT_EQ(stat(path.c_str(), &entry), 0);
    EXPECT_TRUE(S_ISDIR(entry.st_mode));
    EXPECT_EQ(entry.st_mode & 0777, 0700u);
    ASSERT_EQ(mkdir((path + "/sub").c_str(), 0700), 0);
    testing_support::WriteFile(path + "/sub/bundle.zip", "data", 0400);
  }
  EXPECT_FALSE(testing_support::Exists(path));
}

TEST(WorkDirectory, TwoHoldersGetDistinctDirectories) {
  const localfs::WorkDirectory first;
  const localfs::WorkDirectory second;
  EXPECT_NE(first.path(), second.path());
}

}  // namespace
