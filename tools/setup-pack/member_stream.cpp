#include "member_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pack {
namespace {

// The next stretch of the input from `position` on, as the file system maps it.
struct Region {
  bool hole = false;
  std::uint64_t end = 0;
};

// Only a file with fewer allocated blocks than its size can have holes; asking the file system
// about any other would cost two system calls for nothing.
bool MayHaveHoles(const InputFile& input) { return input.allocated_bytes < input.size; }

Region NextRegion(const InputFile& input, std::uint64_t position, bool& probe_holes) {
  if (!probe_holes) {
    return Region{false, input.size};
  }
  const int descriptor = input.descriptor.get();
  const off_t data = ::lseek(descriptor, static_cast<off_t>(position), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) {
      return Region{true, input.size};  // nothing but a hole up to the end
    }
    probe_holes = false;  // no hole support here: read it all
    return Region{false, input.size};
  }
  const auto data_start = std::min(static_cast<std::uint64_t>(data), input.size);
  if (data_start > position) {
    return Region{true, data_start};
  }
  const off_t hole = ::lseek(descriptor, static_cast<off_t>(position), SEEK_HOLE);
  if (hole < 0) {
    probe_holes = false;
    return Region{false, input.size};
  }
  return Region{false, std::clamp(static_cast<std::uint64_t>(hole), position + 1, input.size)};
}

std::string ChangedWhileRead(const InputFile& input) {
  return "input " + Quoted(input.path) + " changed size while it was read";
}

bool CopyData(const InputFile& input, std::uint64_t& position, std::uint64_t end, Checksum checksum,
              ChecksumPipeline& pipeline, TemporaryOutput& output, ErrorSink report) {
  while (position < end) {
    unsigned char* buffer = pipeline.NextBuffer();
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(end - position, ChecksumPipeline::kChunkSize));
    const ssize_t got =
        ::pread(input.descriptor.get(), buffer, wanted, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      report(WithErrno("cannot read " + Quoted(input.path), errno));
      return false;
    }
    if (got == 0) {
      report(ChangedWhileRead(input));
      return false;
    }
    const auto length = static_cast<std::size_t>(got);
    if (checksum == Checksum::kCrc32) {
      pipeline.AddChunk(buffer, length);
    }
    if (!output.Append(buffer, length, report)) {
      return false;
    }
    position += length;
  }
  return true;
}

}  // namespace

bool StreamInput(const InputFile& input, Checksum checksum, ChecksumPipeline& pipeline,
                 TemporaryOutput& output, std::uint32_t& crc, ErrorSink report) {
  bool probe_holes = MayHaveHoles(input);
  std::uint64_t position = 0;
  while (position < input.size) {
    const Region region = NextRegion(input, position, probe_holes);
    if (region.hole) {
      if (checksum == Checksum::kCrc32) {
        pipeline.AddZeros(region.end - position);
      }
      output.AppendHole(region.end - position);
      position = region.end;
    } else if (!CopyData(input, position, region.end, checksum, pipeline, output, report)) {
      std::ignore = pipeline.TakeCrc();  // leaves the pipeline empty for whoever comes next
      return false;
    }
  }
  crc = checksum == Checksum::kCrc32 ? pipeline.TakeCrc() : 0;

  struct stat status {};
  if (::fstat(input.descriptor.get(), &status) != 0 ||
      static_cast<std::uint64_t>(status.st_size) != input.size) {
    report(ChangedWhileRead(input));
    return false;
  }
  return true;
}

}  // namespace pack
