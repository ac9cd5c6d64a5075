#include "launcher_writer.h"

#include <vector>

#include "member_stream.h"
#include "temporary_output.h"
#include "zip_records.h"

namespace pack {
namespace {

MemberRecord RecordFor(const MemberInput& member, std::optional<std::int64_t> source_date_epoch) {
  MemberRecord record;
  record.name = member.stored_name;
  record.size = member.file.size;
  if (source_date_epoch) {
    record.mtime = *source_date_epoch;
  } else {
    record.mtime = member.file.mtime;
    record.uid = member.file.uid;
    record.gid = member.file.gid;
  }
  return record;
}

// The local header goes out first with a CRC of 0; its length does not depend on the CRC, so
// once the data has streamed through the checksum the header is rewritten in place.
bool WriteMember(const MemberInput& member, MemberRecord& record, TemporaryOutput& output,
                 ErrorSink report) {
  record.local_header_offset = output.offset();
  if (!output.Append(EncodeLocalHeader(record), report) ||
      !StreamInput(member.file, Checksum::kCrc32, output, record.crc32, report)) {
    return false;
  }
  return output.Overwrite(record.local_header_offset, EncodeLocalHeader(record), report);
}

}  // namespace

bool WriteLauncherFile(const PackInputs& inputs, const std::string& output_path,
                       std::optional<std::int64_t> source_date_epoch, ErrorSink report) {
  TemporaryOutput output;
  std::uint32_t unused_crc = 0;
  if (!output.Create(output_path, report) ||
      !StreamInput(inputs.stub, Checksum::kNone, output, unused_crc, report)) {
    return false;
  }

  std::vector<MemberRecord> records;
  records.reserve(inputs.members.size());
  for (const MemberInput& member : inputs.members) {
    records.push_back(RecordFor(member, source_date_epoch));
    if (!WriteMember(member, records.back(), output, report)) {
      return false;
    }
  }

  const std::uint64_t directory_offset = output.offset();
  for (const MemberRecord& record : records) {
    if (!output.Append(EncodeCentralEntry(record), report)) {
      return false;
    }
  }
  const std::uint64_t directory_size = output.offset() - directory_offset;
  return output.Append(EncodeDirectoryEnd(records.size(), directory_offset, directory_size),
                       report) &&
         output.Commit(report);
}

}  // namespace pack
