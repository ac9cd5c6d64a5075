#include "member_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace pack {
namespace {

std::vector<std::string> reported;

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  std::vector<unsigned char> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    return bytes;
  }
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t count = 0;
  while ((count = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
  }
  std::fclose(file);
  return bytes;
}
void Record(const std::string& message) { reported.push_back(message); }

class StreamInputTest : public ::testing::TestWithParam<CopyMethod> {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/member-stream-test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    reported.clear();
  }
  void TearDown() override {
    for (const char* name : {"input", "output"}) {
      std::remove((directory_ + "/" + name).c_str());
    }
    ::rmdir(directory_.c_str());
  }

  // Writes the pieces at their offsets into a file of `size` bytes, the rest left as holes.
  std::vector<unsigned char> MakeInput(
      std::uint64_t size, const std::vector<std::pair<std::uint64_t, std::size_t>>& pieces) {
    std::vector<unsigned char> content(size, 0);
    std::mt19937 generator(11);
    const int descriptor = ::open(InputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(descriptor, 0);
    for (const auto& [offset, length] : pieces) {
      for (std::size_t index = 0; index < length; index += 4) {
        const auto word = static_cast<std::uint32_t>(generator());
        std::memcpy(content.data() + offset + index, &word,
                    std::min<std::size_t>(4, length - index));
      }
      EXPECT_EQ(::pwrite(descriptor, content.data() + offset, length, static_cast<off_t>(offset)),
                static_cast<ssize_t>(length));
    }
    EXPECT_EQ(::ftruncate(descriptor, static_cast<off_t>(size)), 0);
    ::close(descriptor);
    return content;
  }

  InputFile OpenInput() {
    InputFile input;
    input.path = InputPath();
    input.descriptor = base::FileDescriptor(::open(input.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    EXPECT_EQ(::fstat(input.descriptor.get(), &status), 0);
    input.size = static_cast<std::uint64_t>(status.st_size);
    input.allocated_bytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
    return input;
  }

  // Copies the input behind an odd-sized prefix, as a member follows its header.
  void ExpectCopied(const std::vector<unsigned char>& content) {
    const InputFile input = OpenInput();
    const std::string output_path = directory_ + "/output";
    const Bytes prefix(1234, 0x5A);
    TemporaryOutput output;
    ASSERT_TRUE(output.Create(output_path, Record));
    ASSERT_TRUE(output.Append(prefix, Record));
    std::uint32_t crc = 0;
    ASSERT_TRUE(StreamInput(input, Checksum::kCrc32, output, crc, Record, GetParam()));
    EXPECT_EQ(output.offset(), prefix.size() + content.size());
    ASSERT_TRUE(output.Commit(Record));
    EXPECT_TRUE(reported.empty());

    EXPECT_EQ(crc, static_cast<std::uint32_t>(crc32_z(0, content.data(), content.size())));
    const std::vector<unsigned char> written = ReadWholeFile(output_path);
    ASSERT_EQ(written.size(), prefix.size() + content.size());
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), written.begin()));
    EXPECT_TRUE(std::equal(content.begin(), content.end(),
                           written.begin() + static_cast<std::ptrdiff_t>(prefix.size())));
  }

  std::string InputPath() const { return directory_ + "/input"; }
  std::string directory_;
};

TEST_P(StreamInputTest, CopiesADenseInputInSeveralSteps) {
  const std::uint64_t size = (9 << 20) + 77;  // more than one step of the kernel copy
  ExpectCopied(MakeInput(size, {{0, static_cast<std::size_t>(size)}}));
}

TEST_P(StreamInputTest, CopiesASparseInputWithItsHolesAsZeros) {
  // Data, a hole, data, and a hole up to the end.
  ExpectCopied(MakeInput((24 << 20) + 3, {{0, 5000}, {(6 << 20) + 4096, (9 << 20) + 5}}));
}

TEST_P(StreamInputTest, CopiesAnEmptyInput) { ExpectCopied(MakeInput(0, {})); }

INSTANTIATE_TEST_SUITE_P(BothMethods, StreamInputTest,
                         ::testing::Values(CopyMethod::kKernelCopy, CopyMethod::kRead));

}  // namespace
}  // namespace pack
