#include "member_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "crc32.h"
#include "range_checksum.h"

namespace pack {
namespace {

// Read, checksummed and written at a time where the input goes through this process: while a
// piece fits the processor's cache, the checksum and the write find it there.
constexpr std::size_t kPieceSize = 128 << 10;
// From this length on a stretch is copied by the kernel while the second thread checksums it;
// below it, handing it over would cost more than it saves.
constexpr std::uint64_t kOverlapMinimum = 1 << 20;

// The next stretch of the input from a position on, as the file system maps it.
struct Region {
  bool hole = false;
  std::uint64_t end = 0;
};

class InputCopy {
 public:
  InputCopy(const InputFile& input, Checksum checksum, CopyMethod method, TemporaryOutput& output,
            ErrorSink report)
      : input_(input), checksum_(checksum), method_(method), output_(output), report_(report) {}

  [[nodiscard]] bool Run(std::uint32_t& crc);

 private:
  Region NextRegion(std::uint64_t position);
  [[nodiscard]] bool CopyData(std::uint64_t position, std::uint64_t end);
  [[nodiscard]] bool ReadData(std::uint64_t position, std::uint64_t end);
  RangeChecksum& Worker();
  [[nodiscard]] std::string ChangedWhileRead() const {
    return "input " + Quoted(input_.path) + " changed size while it was read";
  }

  const InputFile& input_;
  const Checksum checksum_;
  const CopyMethod method_;
  TemporaryOutput& output_;
  const ErrorSink report_;
  std::uint32_t crc_ = 0;
  // Only a file with fewer allocated blocks than its size can have holes; asking the file
  // system about any other would cost two system calls for nothing.
  bool probe_holes_ = input_.allocated_bytes < input_.size;
  bool copy_range_works_ = true;                  // until the file systems refuse it
  std::unique_ptr<unsigned char[]> read_buffer_;  // for the stretches that pass through here
  std::unique_ptr<RangeChecksum> worker_;         // made for the first stretch it pays for
};

bool InputCopy::Run(std::uint32_t& crc) {
  ::posix_fadvise(input_.descriptor.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::uint64_t position = 0;
  while (position < input_.size) {
    const Region region = NextRegion(position);
    if (region.hole) {
      if (checksum_ == Checksum::kCrc32) {
        crc_ = Crc32UpdateZeros(crc_, region.end - position);
      }
      output_.AppendHole(region.end - position);
    } else if (!CopyData(position, region.end)) {
      return false;
    }
    position = region.end;
  }

  struct stat status {};
  if (::fstat(input_.descriptor.get(), &status) != 0 ||
      static_cast<std::uint64_t>(status.st_size) != input_.size) {
    report_(ChangedWhileRead());
    return false;
  }
  crc = crc_;
  return true;
}

Region InputCopy::NextRegion(std::uint64_t position) {
  if (!probe_holes_) {
    return Region{false, input_.size};
  }
  const int descriptor = input_.descriptor.get();
  const off_t data = ::lseek(descriptor, static_cast<off_t>(position), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) {
      return Region{true, input_.size};  // nothing but a hole up to the end
    }
    probe_holes_ = false;  // no hole support here: copy it all
    return Region{false, input_.size};
  }
  const auto data_start = std::min(static_cast<std::uint64_t>(data), input_.size);
  if (data_start > position) {
    return Region{true, data_start};
  }
  const off_t hole = ::lseek(descriptor, static_cast<off_t>(position), SEEK_HOLE);
  if (hole < 0) {
    probe_holes_ = false;
    return Region{false, input_.size};
  }
  return Region{false, std::clamp(static_cast<std::uint64_t>(hole), position + 1, input_.size)};
}

bool InputCopy::CopyData(std::uint64_t position, std::uint64_t end) {
  if (method_ == CopyMethod::kRead || !copy_range_works_ || end - position < kOverlapMinimum) {
    return ReadData(position, end);
  }
  const int descriptor = input_.descriptor.get();
  std::optional<PendingChecksum> pending;
  if (checksum_ == Checksum::kCrc32) {
    pending.emplace(Worker(), crc_, descriptor, position, end - position);
  }
  switch (output_.AppendCopy(descriptor, position, end - position, report_)) {
    case TemporaryOutput::CopyOutcome::kCopied:
      break;
    case TemporaryOutput::CopyOutcome::kUnsupported:
      copy_range_works_ = false;
      pending.reset();  // waits for the checksum, whose result is not needed
      return ReadData(position, end);
    case TemporaryOutput::CopyOutcome::kInputEnded:
      report_(ChangedWhileRead());
      return false;
    case TemporaryOutput::CopyOutcome::kFailed:
      return false;
  }
  if (pending) {
    const RangeCrc checksum = pending->Finish();
    if (!checksum.complete) {
      report_(checksum.error != 0 ? WithErrno("cannot read " + Quoted(input_.path), checksum.error)
                                  : ChangedWhileRead());
      return false;
    }
    crc_ = checksum.crc;
  }
  return true;
}

bool InputCopy::ReadData(std::uint64_t position, std::uint64_t end) {
  if (!read_buffer_) {
    read_buffer_ = std::make_unique<unsigned char[]>(kPieceSize);
  }
  while (position < end) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, end - position));
    const ssize_t got =
        ::pread(input_.descriptor.get(), read_buffer_.get(), wanted, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      report_(WithErrno("cannot read " + Quoted(input_.path), errno));
      return false;
    }
    if (got == 0) {
      report_(ChangedWhileRead());
      return false;
    }
    const auto length = static_cast<std::size_t>(got);
    if (checksum_ == Checksum::kCrc32) {
      crc_ = Crc32Update(crc_, read_buffer_.get(), length);
    }
    if (!output_.Append(read_buffer_.get(), length, report_)) {
      return false;
    }
    position += length;
  }
  return true;
}

RangeChecksum& InputCopy::Worker() {
  if (!worker_) {
    worker_ = std::make_unique<RangeChecksum>();
  }
  return *worker_;
}

}  // namespace

bool StreamInput(const InputFile& input, Checksum checksum, TemporaryOutput& output,
                 std::uint32_t& crc, ErrorSink report, CopyMethod method) {
  InputCopy copy(input, checksum, method, output, report);
  return copy.Run(crc);
}

}  // namespace pack
