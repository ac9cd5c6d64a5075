#include "zip_records.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace pack {
namespace {

std::uint64_t Field(const Bytes& bytes, std::size_t offset, int width) {
  std::uint64_t value = 0;
  for (int index = width - 1; index >= 0; --index) {
    value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(index));
  }
  return value;
}

MemberRecord Bundle(std::uint64_t size, std::uint64_t offset) {
  MemberRecord member;
  member.name = "bundle.zip";
  member.size = size;
  member.crc32 = 0xDEADBEEF;
  member.mtime = 1700000000;
  member.uid = 1000;
  member.gid = 100;
  member.local_header_offset = offset;
  return member;
}

TEST(DosDateTime, IsTakenInUtcWithTwoSecondSteps) {
  const DosDateTime when = DosDateTimeFromUnix(1700000000);  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(when.time, (22 << 11) | (13 << 5) | 10);
  EXPECT_EQ(when.date, (43 << 9) | (11 << 5) | 14);
  const DosDateTime odd = DosDateTimeFromUnix(1700000001);
  EXPECT_EQ(odd.time, when.time);
  EXPECT_EQ(odd.date, when.date);
}

TEST(DosDateTime, ClampsToTheRangeTheFieldsCanHold) {
  const DosDateTime first = DosDateTimeFromUnix(315532800);  // 1980-01-01 00:00:00
  EXPECT_EQ(first.time, 0);
  EXPECT_EQ(first.date, (1 << 5) | 1);
  for (const std::int64_t earlier :
       {std::int64_t{0}, std::int64_t{-86400}, std::int64_t{315532799}}) {
    EXPECT_EQ(DosDateTimeFromUnix(earlier).date, first.date);
    EXPECT_EQ(DosDateTimeFromUnix(earlier).time, first.time);
  }
  const DosDateTime last = DosDateTimeFromUnix(4354819198);  // 2107-12-31 23:59:58
  EXPECT_EQ(last.time, (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(last.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(DosDateTimeFromUnix(std::int64_t{1} << 40).date, last.date);
}

TEST(LocalHeader, ClassicUpToTheLastSizeBelowTheMarker) {
  const Bytes header = EncodeLocalHeader(Bundle(0xFFFFFFFE, 0));
  ASSERT_EQ(header.size(), 68u);
  EXPECT_EQ(Field(header, 4, 2), 10u);
  EXPECT_EQ(Field(header, 14, 4), 0xDEADBEEFu);
  EXPECT_EQ(Field(header, 18, 4), 0xFFFFFFFEu);
  EXPECT_EQ(Field(header, 22, 4), 0xFFFFFFFEu);
  EXPECT_EQ(Field(header, 28, 2), 28u);
  EXPECT_EQ(Field(header, 40, 2), 0x5455u);
}

TEST(LocalHeader, SizeOfTheMarkerItselfNeedsZip64WithBothSizes) {
  const std::uint64_t size = 0xFFFFFFFF;
  const Bytes header = EncodeLocalHeader(Bundle(size, 0));
  ASSERT_EQ(header.size(), 88u);
  EXPECT_EQ(Field(header, 4, 2), 45u);
  EXPECT_EQ(Field(header, 18, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(header, 22, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(header, 28, 2), 48u);
  EXPECT_EQ(Field(header, 40, 2), 0x0001u);
  EXPECT_EQ(Field(header, 42, 2), 16u);
  EXPECT_EQ(Field(header, 44, 8), size);
  EXPECT_EQ(Field(header, 52, 8), size);
  EXPECT_EQ(Field(header, 60, 2), 0x5455u);
  EXPECT_EQ(Field(header, 73, 2), 0x7875u);
}

TEST(LocalHeader, LengthDoesNotDependOnTheCrc) {
  MemberRecord member = Bundle(5ull << 30, 0);
  const std::size_t before = EncodeLocalHeader(member).size();
  member.crc32 = 0;
  EXPECT_EQ(EncodeLocalHeader(member).size(), before);
}

TEST(CentralEntry, Zip64CarriesBothSizesWheneverItIsThere) {
  const Bytes classic = EncodeCentralEntry(Bundle(100, 0xFFFFFFFE));
  ASSERT_EQ(classic.size(), 80u);
  EXPECT_EQ(Field(classic, 6, 2), 10u);
  EXPECT_EQ(Field(classic, 20, 4), 100u);
  EXPECT_EQ(Field(classic, 42, 4), 0xFFFFFFFEu);

  // A small member past 4 GiB: its sizes go to the Zip64 field too, ahead of the offset, so
  // that a reader which still holds the marker from the member before reads each in its place.
  const Bytes offset_needed = EncodeCentralEntry(Bundle(100, 0x100000000));
  ASSERT_EQ(offset_needed.size(), 108u);
  EXPECT_EQ(Field(offset_needed, 6, 2), 45u);
  EXPECT_EQ(Field(offset_needed, 20, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(offset_needed, 24, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(offset_needed, 30, 2), 52u);
  EXPECT_EQ(Field(offset_needed, 42, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(offset_needed, 56, 2), 0x0001u);
  EXPECT_EQ(Field(offset_needed, 58, 2), 24u);
  EXPECT_EQ(Field(offset_needed, 60, 8), 100u);
  EXPECT_EQ(Field(offset_needed, 68, 8), 100u);
  EXPECT_EQ(Field(offset_needed, 76, 8), 0x100000000u);

  const Bytes sizes_only = EncodeCentralEntry(Bundle(0xFFFFFFFF, 0xFFFFFFFE));
  ASSERT_EQ(sizes_only.size(), 100u);
  EXPECT_EQ(Field(sizes_only, 42, 4), 0xFFFFFFFEu);
  EXPECT_EQ(Field(sizes_only, 58, 2), 16u);
  EXPECT_EQ(Field(sizes_only, 60, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Field(sizes_only, 68, 8), 0xFFFFFFFFu);

  const Bytes both = EncodeCentralEntry(Bundle(0x123456789, 0xFFFFFFFF));
  ASSERT_EQ(both.size(), 108u);
  EXPECT_EQ(Field(both, 20, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(both, 24, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(both, 42, 4), 0xFFFFFFFFu);
  EXPECT_EQ(Field(both, 58, 2), 24u);
  EXPECT_EQ(Field(both, 60, 8), 0x123456789u);
  EXPECT_EQ(Field(both, 68, 8), 0x123456789u);
  EXPECT_EQ(Field(both, 76, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Field(both, 84, 2), 0x5455u);
  EXPECT_EQ(Field(both, 86, 2), 5u);
}

TEST(DirectoryEnd, ClassicRecordAloneWhileEverythingFits) {
  const Bytes end = EncodeDirectoryEnd(65534, 0xFFFFFFFE, 0xFFFFFFFE);
  ASSERT_EQ(end.size(), 22u);
  EXPECT_EQ(Field(end, 0, 4), 0x06054B50u);
  EXPECT_EQ(Field(end, 8, 2), 65534u);
  EXPECT_EQ(Field(end, 10, 2), 65534u);
  EXPECT_EQ(Field(end, 12, 4), 0xFFFFFFFEu);
  EXPECT_EQ(Field(end, 16, 4), 0xFFFFFFFEu);
  EXPECT_EQ(Field(end, 20, 2), 0u);
}

TEST(DirectoryEnd, Zip64RecordsWhenTheCountTheSizeOrTheOffsetOverflows) {
  struct Case {
    std::uint64_t count, offset, size;
  };
  for (const Case& c :
       {Case{65535, 1000, 80}, Case{2, 0xFFFFFFFF, 160}, Case{3, 5000, 0xFFFFFFFF}}) {
    const Bytes end = EncodeDirectoryEnd(c.count, c.offset, c.size);
    ASSERT_EQ(end.size(), 56u + 20u + 22u);
    EXPECT_EQ(Field(end, 0, 4), 0x06064B50u);
    EXPECT_EQ(Field(end, 4, 8), 44u);
    EXPECT_EQ(Field(end, 12, 2), 0x031Eu);
    EXPECT_EQ(Field(end, 14, 2), 45u);
    EXPECT_EQ(Field(end, 24, 8), c.count);
    EXPECT_EQ(Field(end, 32, 8), c.count);
    EXPECT_EQ(Field(end, 40, 8), c.size);
    EXPECT_EQ(Field(end, 48, 8), c.offset);
    EXPECT_EQ(Field(end, 56, 4), 0x07064B50u);
    EXPECT_EQ(Field(end, 64, 8), c.offset + c.size);  // where the Zip64 end record starts
    EXPECT_EQ(Field(end, 72, 4), 1u);
    EXPECT_EQ(Field(end, 76, 4), 0x06054B50u);
    EXPECT_EQ(Field(end, 84, 2), c.count >= 0xFFFF ? 0xFFFFu : c.count);
    EXPECT_EQ(Field(end, 88, 4), c.size >= 0xFFFFFFFF ? 0xFFFFFFFFu : c.size);
    EXPECT_EQ(Field(end, 92, 4), c.offset >= 0xFFFFFFFF ? 0xFFFFFFFFu : c.offset);
  }
}

}  // namespace
}  // namespace pack
