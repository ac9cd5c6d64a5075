#include "checksum_pipeline.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace pack {
namespace {

// Fills each buffer the pipeline hands out right away, as the copy does: a buffer handed out
// while its checksum is still pending would change under the worker and spoil the CRC.
TEST(ChecksumPipeline, CrcOfChunksAndZeroRunsEqualsTheCrcOfTheWholeStream) {
  ChecksumPipeline pipeline;
  ASSERT_TRUE(pipeline.ready());
  std::mt19937 generator(7);
  for (int member = 0; member < 3; ++member) {
    std::vector<unsigned char> stream;
    for (int piece = 0; piece < 200; ++piece) {
      if (generator() % 5 == 0) {
        const std::size_t zeros = generator() % 70000;
        pipeline.AddZeros(zeros);
        stream.insert(stream.end(), zeros, 0);
        continue;
      }
      unsigned char* buffer = pipeline.NextBuffer();
      const std::size_t length = 1 + generator() % ChecksumPipeline::kChunkSize;
      for (std::size_t index = 0; index < length; ++index) {
        buffer[index] = static_cast<unsigned char>(generator());
      }
      stream.insert(stream.end(), buffer, buffer + length);
      pipeline.AddChunk(buffer, length);
    }
    EXPECT_EQ(pipeline.TakeCrc(), static_cast<std::uint32_t>(crc32_z(0, stream.data(), stream.size())))
        << "member " << member;
  }
}

TEST(ChecksumPipeline, HandsOutPageAlignedBuffersInTurn) {
  ChecksumPipeline pipeline;
  ASSERT_TRUE(pipeline.ready());
  std::vector<unsigned char*> seen;
  for (std::size_t index = 0; index < 2 * ChecksumPipeline::kBufferCount; ++index) {
    unsigned char* buffer = pipeline.NextBuffer();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);
    std::memset(buffer, 0xA5, ChecksumPipeline::kChunkSize);  // all of it is usable
    seen.push_back(buffer);
  }
  for (std::size_t index = 0; index < ChecksumPipeline::kBufferCount; ++index) {
    EXPECT_EQ(seen[index], seen[index + ChecksumPipeline::kBufferCount]);
    for (std::size_t other = 0; other < index; ++other) {
      EXPECT_NE(seen[index], seen[other]);
    }
  }
  EXPECT_EQ(pipeline.TakeCrc(), 0u);  // nothing was added
}

}  // namespace
}  // namespace pack
