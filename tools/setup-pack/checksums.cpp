#include "checksums.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pack {
namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

// Read and checksummed at a time: small enough to stay in the processor's cache between the
// read that fills it and the checksum that reads it.
constexpr std::size_t kPieceSize = 128 << 10;

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  if (length == 0) {
    return crc;  // libdeflate answers a null pointer with its start value, whatever `crc` is
  }
  return libdeflate_crc32(crc, data, length);
}

std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length) {
  // Zero bytes only multiply the (inverted) register by x^(8*length) mod P, which is what
  // zlib's combine operator does to its first argument.
  const uLong shift = crc32_combine_gen(static_cast<z_off_t>(length));
  const uLong shifted = crc32_combine_op(~crc & kAllOnes, 0, shift);
  return static_cast<std::uint32_t>(~shifted & kAllOnes);
}

RangeChecksum::RangeChecksum() : buffer_(std::make_unique<unsigned char[]>(kPieceSize)) {
  try {
    worker_ = std::thread([this] { Work(); });
  } catch (const std::system_error&) {
    // No second thread: Finish then checksums on the caller's thread, which is only slower.
  }
}

RangeChecksum::~RangeChecksum() {
  if (worker_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
}

void RangeChecksum::Start(std::uint32_t crc, int descriptor, std::uint64_t offset,
                          std::uint64_t length, Holes holes, Pace pace) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_ = Job{crc, descriptor, offset, length, holes, pace};
    written_end_ = offset;
    job_end_ = offset + length;
    pending_ = true;
  }
  changed_.notify_all();
}

void RangeChecksum::Written(std::uint64_t end) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    written_end_ = end;
  }
  changed_.notify_all();
}

void RangeChecksum::EndAt(std::uint64_t end) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_end_ = end;
    written_end_ = end;
  }
  changed_.notify_all();
}

std::uint64_t RangeChecksum::ReadableEnd(std::uint64_t position) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return written_end_ > position || job_end_ <= position; });
  return std::max(position, std::min(written_end_, job_end_));
}

RangeCrc RangeChecksum::Finish() {
  if (!worker_.joinable()) {
    pending_ = false;
    return Compute(job_);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  return result_;
}

RangeCrc RangeChecksum::Compute(const Job& job) {
  RangeCrc result;
  result.crc = job.crc;
  bool probe_holes = job.holes == Holes::kSkip;
  if (job.pace == Pace::kAtOnce) {
    result.complete =
        ChecksumStretch(result, job, probe_holes, job.offset, job.offset + job.length);
    return result;
  }
  std::uint64_t position = job.offset;
  for (std::uint64_t end = ReadableEnd(position); end > position; end = ReadableEnd(position)) {
    if (!ChecksumStretch(result, job, probe_holes, position, end)) {
      return result;
    }
    position = end;
  }
  result.complete = true;
  return result;
}

bool RangeChecksum::ChecksumStretch(RangeCrc& result, const Job& job, bool& probe_holes,
                                    std::uint64_t position, std::uint64_t end) {
  while (position < end) {
    std::uint64_t data_end = end;
    if (probe_holes) {
      const off_t data = ::lseek(job.descriptor, static_cast<off_t>(position), SEEK_DATA);
      if (data < 0 && errno == ENXIO) {  // nothing but holes up to the end of the file
        result.crc = Crc32UpdateZeros(result.crc, end - position);
        return true;
      }
      if (data >= 0 && static_cast<std::uint64_t>(data) > position) {
        const std::uint64_t hole_end = std::min(static_cast<std::uint64_t>(data), end);
        result.crc = Crc32UpdateZeros(result.crc, hole_end - position);
        position = hole_end;
        continue;
      }
      const off_t hole =
          data < 0 ? -1 : ::lseek(job.descriptor, static_cast<off_t>(position), SEEK_HOLE);
      if (hole < 0) {
        probe_holes = false;  // the file system cannot tell: read it all
      } else {
        data_end = std::clamp(static_cast<std::uint64_t>(hole), position + 1, end);
      }
    }
    if (!ReadInto(result, job.descriptor, position, data_end)) {
      return false;
    }
    position = data_end;
  }
  return true;
}

bool RangeChecksum::ReadInto(RangeCrc& result, int descriptor, std::uint64_t position,
                             std::uint64_t end) {
  while (position < end) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, end - position));
    const ssize_t got = ::pread(descriptor, buffer_.get(), wanted, static_cast<off_t>(position));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      result.error = got < 0 ? errno : 0;
      return false;
    }
    result.crc = Crc32Update(result.crc, buffer_.get(), static_cast<std::size_t>(got));
    position += static_cast<std::uint64_t>(got);
  }
  return true;
}

void RangeChecksum::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) {
      return;
    }
    const Job job = job_;
    lock.unlock();
    const RangeCrc result = Compute(job);
    lock.lock();
    result_ = result;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace pack
