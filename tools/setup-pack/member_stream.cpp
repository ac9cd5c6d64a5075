#include "member_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "checksums.h"

namespace pack {
namespace {

// Read, checksummed and written at a time where the input goes through this process: while a
// piece fits the processor's cache, the checksum and the write find it there.
constexpr std::size_t kPieceSize = 128 << 10;
// From this length on a stretch is copied by the kernel while the second thread checksums it;
// below it, handing it over would cost more than it saves.
constexpr std::uint64_t kOverlapMinimum = 1 << 20;
// The kernel copies a stretch a step at a time; the output is read back up to the last step
// copied while the next one is.
constexpr std::uint64_t kCopyStep = 8 << 20;

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
  [[nodiscard]] bool CopyDataChecked(std::uint64_t position, std::uint64_t end);
  [[nodiscard]] bool ReadData(std::uint64_t position, std::uint64_t end);
  [[nodiscard]] bool InputRead(PendingChecksum& pending, std::uint32_t& crc);
  [[nodiscard]] bool ReadBack(PendingChecksum& pending, std::uint32_t& crc);
  [[nodiscard]] bool Changed() {
    report_("input " + Quoted(input_.path) + " changed while it was being packed");
    return false;
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
  // Made for the first stretch they pay for: one reads the input, the other the output.
  std::unique_ptr<RangeChecksum> input_reader_;
  std::unique_ptr<RangeChecksum> output_reader_;
};

bool InputCopy::Run(std::uint32_t& crc) {
  InputVersion before;
  if (!ReadInputVersion(input_.descriptor.get(), before)) {
    report_(WithErrno("cannot read " + Quoted(input_.path), errno));
    return false;
  }
  if (before.size != input_.size) {
    return Changed();  // its header already promises the size it had when it was opened
  }
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

  // A write the two reads of a stretch both missed, or both saw, moves the file's times.
  InputVersion after;
  if (!ReadInputVersion(input_.descriptor.get(), after) || !SameVersion(before, after)) {
    return Changed();
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
  if (checksum_ == Checksum::kCrc32) {
    return CopyDataChecked(position, end);
  }
  switch (output_.AppendCopy(input_.descriptor.get(), position, end - position, report_)) {
    case TemporaryOutput::CopyOutcome::kCopied:
      return true;
    case TemporaryOutput::CopyOutcome::kUnsupported:
      copy_range_works_ = false;
      return ReadData(position, end);
    case TemporaryOutput::CopyOutcome::kInputEnded:
      return Changed();
    case TemporaryOutput::CopyOutcome::kFailed:
      break;
  }
  return false;
}

// While the kernel copies the stretch a step at a time, one thread reads the same stretch of
// the input, and the other reads back from the output what the kernel has copied so far. The
// CRC recorded is that of the bytes written; should it differ from that of the bytes read, the
// input was written meanwhile and the output holds a mixture of its versions.
bool InputCopy::CopyDataChecked(std::uint64_t position, std::uint64_t end) {
  if (!input_reader_) {
    input_reader_ = std::make_unique<RangeChecksum>();
    output_reader_ = std::make_unique<RangeChecksum>();
  }
  const int descriptor = input_.descriptor.get();
  PendingChecksum input_read(*input_reader_, crc_, descriptor, position, end - position);
  PendingChecksum read_back(*output_reader_, crc_, output_.descriptor(), output_.offset(),
                            end - position, Holes::kSkip, Pace::kAsWritten);
  for (std::uint64_t at = position; at < end;) {
    const std::uint64_t step = std::min(kCopyStep, end - at);
    const TemporaryOutput::CopyOutcome outcome = output_.AppendCopy(descriptor, at, step, report_);
    if (outcome != TemporaryOutput::CopyOutcome::kCopied) {
      output_reader_->EndAt(output_.offset());  // so that the read-back can end
    }
    switch (outcome) {
      case TemporaryOutput::CopyOutcome::kCopied:
        break;
      case TemporaryOutput::CopyOutcome::kUnsupported:
        // Before the first step, as a rule; after a later one, what was copied is recorded
        // as read back, and the input's times still tell whether it changed.
        copy_range_works_ = false;
        if (!ReadBack(read_back, crc_)) {
          return false;
        }
        return ReadData(at, end);
      case TemporaryOutput::CopyOutcome::kInputEnded:
        return Changed();
      case TemporaryOutput::CopyOutcome::kFailed:
        return false;
    }
    at += step;
    output_reader_->Written(output_.offset());
  }
  std::uint32_t input_crc = 0;
  std::uint32_t output_crc = 0;
  if (!InputRead(input_read, input_crc) || !ReadBack(read_back, output_crc)) {
    return false;
  }
  if (output_crc != input_crc) {
    return Changed();
  }
  crc_ = output_crc;
  return true;
}

bool InputCopy::InputRead(PendingChecksum& pending, std::uint32_t& crc) {
  const RangeCrc checksum = pending.Finish();
  if (!checksum.complete) {
    if (checksum.error == 0) {
      return Changed();
    }
    report_(WithErrno("cannot read " + Quoted(input_.path), checksum.error));
    return false;
  }
  crc = checksum.crc;
  return true;
}

bool InputCopy::ReadBack(PendingChecksum& pending, std::uint32_t& crc) {
  const RangeCrc checksum = pending.Finish();
  if (!checksum.complete) {
    report_(WithErrno("cannot read back output " + Quoted(output_.path()),
                      checksum.error != 0 ? checksum.error : EIO));
    return false;
  }
  crc = checksum.crc;
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
      return Changed();
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

}  // namespace

bool StreamInput(const InputFile& input, Checksum checksum, TemporaryOutput& output,
                 std::uint32_t& crc, ErrorSink report, CopyMethod method) {
  InputCopy copy(input, checksum, method, output, report);
  return copy.Run(crc);
}

}  // namespace pack
