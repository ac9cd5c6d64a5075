#include "checksums.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

namespace pack {
namespace {

std::uint32_t ZlibCrc(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  return static_cast<std::uint32_t>(crc32_z(crc, data, length));
}

std::vector<unsigned char> RandomBytes(std::size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<unsigned char> bytes(length);
  for (unsigned char& byte : bytes) {
    byte = static_cast<unsigned char>(generator());
  }
  return bytes;
}

TEST(Crc32, GivesTheStandardCheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32Update(0, reinterpret_cast<const unsigned char*>(check.data()), check.size()),
            0xCBF43926u);
}

TEST(Crc32, NothingToAddLeavesTheValueAlone) {
  EXPECT_EQ(Crc32Update(0x12345678, nullptr, 0), 0x12345678u);
  EXPECT_EQ(Crc32UpdateZeros(0x12345678, 0), 0x12345678u);
}

TEST(Crc32, AgreesWithZlibOnLargeBuffersAndWhenContinued) {
  const std::vector<unsigned char> bytes = RandomBytes((1 << 22) + 13, 2);
  const std::uint32_t whole = ZlibCrc(0, bytes.data(), bytes.size());
  EXPECT_EQ(Crc32Update(0, bytes.data(), bytes.size()), whole);
  std::mt19937 generator(3);
  for (int round = 0; round < 20; ++round) {
    const std::size_t split = generator() % bytes.size();
    const std::uint32_t head = Crc32Update(0, bytes.data(), split);
    EXPECT_EQ(Crc32Update(head, bytes.data() + split, bytes.size() - split), whole)
        << "split at " << split;
  }
}

TEST(Crc32, RunsOfZerosMatchTheCrcOverRealZeros) {
  const std::vector<unsigned char> zeros((1 << 20) + 3, 0);
  for (const std::uint32_t start : {0u, 0x12345678u, 0xFFFFFFFFu}) {
    for (const std::size_t length :
         {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{64}, std::size_t{4095},
          std::size_t{4096}, std::size_t{1} << 20, zeros.size()}) {
      EXPECT_EQ(Crc32UpdateZeros(start, length), ZlibCrc(start, zeros.data(), length))
          << "start " << start << " length " << length;
    }
  }
}

TEST(Crc32, RunsOfZerosBeyondFourGibibytes) {
  // 4 GiB + 5 zeros, built from 1 MiB steps through zlib alone.
  const std::vector<unsigned char> zeros(1 << 20, 0);
  std::uint32_t expected = 0x0BADCAFE;
  for (int step = 0; step < 4096; ++step) {
    expected = ZlibCrc(expected, zeros.data(), zeros.size());
  }
  expected = ZlibCrc(expected, zeros.data(), 5);
  EXPECT_EQ(Crc32UpdateZeros(0x0BADCAFE, (std::uint64_t{4} << 30) + 5), expected);
}

}  // namespace
}  // namespace pack
