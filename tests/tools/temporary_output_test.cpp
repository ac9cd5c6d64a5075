#include "temporary_output.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pack {
namespace {

std::vector<std::string> reported;

void Record(const std::string& message) { reported.push_back(message); }

class TemporaryOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/temporary-output-test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    reported.clear();
  }
  void TearDown() override {
    for (const std::string& name : Names(directory_)) {
      const std::string path = directory_ + "/" + name;
      for (const std::string& inner : Names(path)) {
        std::remove((path + "/" + inner).c_str());
      }
      std::remove(path.c_str());
    }
    ::rmdir(directory_.c_str());
  }

  // The names in a directory, sorted; none for a file that is no directory.
  static std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    DIR* stream = ::opendir(directory.c_str());
    if (stream == nullptr) {
      return names;
    }
    while (const dirent* entry = ::readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string Contents(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
  }

  std::string OutputPath() const { return directory_ + "/launcher"; }
  std::string directory_;
};

TEST_F(TemporaryOutputTest, WritesBesideTheOutputUnderAHiddenNameUntilCommitted) {
  TemporaryOutput output;
  ASSERT_TRUE(output.Create(OutputPath(), Record));
  const std::vector<std::string> during = Names(directory_);
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].rfind(".launcher.", 0), 0u) << during[0];
  EXPECT_EQ(during[0].size(), std::string(".launcher.XXXXXX").size());

  ASSERT_TRUE(output.Append(Bytes{'a', 'b', 'c', 'd'}, Record));
  ASSERT_TRUE(output.Overwrite(1, Bytes{'X'}, Record));
  output.AppendHole(3);  // a launcher file may end in a hole: Commit gives it its length
  EXPECT_EQ(output.offset(), 7u);
  ASSERT_TRUE(output.Commit(Record));

  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(Names(directory_), std::vector<std::string>{"launcher"});
  EXPECT_EQ(Contents(OutputPath()), std::string("aXcd\0\0\0", 7));
  struct stat status {};
  ASSERT_EQ(::stat(OutputPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
}

TEST_F(TemporaryOutputTest, AnOutputNotCommittedIsRemovedAndTheOldOneKept) {
  std::ofstream(OutputPath()) << "old launcher";
  {
    TemporaryOutput output;
    ASSERT_TRUE(output.Create(OutputPath(), Record, 0600));
    ASSERT_TRUE(output.Append(Bytes(100, 'n'), Record));
  }
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(Names(directory_), std::vector<std::string>{"launcher"});
  EXPECT_EQ(Contents(OutputPath()), "old launcher");
}

TEST_F(TemporaryOutputTest, ARenameThatFailsIsReportedAsSuchAndLeavesNothingBehind) {
  {
    TemporaryOutput output;
    ASSERT_TRUE(output.Create(OutputPath(), Record));
    ASSERT_TRUE(output.Append(Bytes(10, 'x'), Record));
    // Made a directory that is not empty after the output was created: nothing can replace it.
    ASSERT_EQ(::mkdir(OutputPath().c_str(), 0755), 0);
    std::ofstream(OutputPath() + "/occupant") << "stays";
    EXPECT_FALSE(output.Commit(Record));
  }
  EXPECT_EQ(reported, std::vector<std::string>{"cannot replace output '" + OutputPath() +
                                               "': Is a directory"});
  EXPECT_EQ(Names(directory_), std::vector<std::string>{"launcher"});
  EXPECT_EQ(Names(OutputPath()), std::vector<std::string>{"occupant"});
}

TEST_F(TemporaryOutputTest, RefusesADirectoryAndAMissingOne) {
  TemporaryOutput into_directory;
  EXPECT_FALSE(into_directory.Create(directory_ + "/", Record));
  TemporaryOutput into_nothing;
  EXPECT_FALSE(into_nothing.Create(directory_ + "/missing/launcher", Record));
  EXPECT_EQ(reported, (std::vector<std::string>{
                          "output '" + directory_ + "/' is a directory",
                          "cannot create output '" + directory_ +
                              "/missing/launcher': No such file or directory",
                      }));
  EXPECT_TRUE(Names(directory_).empty());
}

}  // namespace
}  // namespace pack
