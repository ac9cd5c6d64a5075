// The CRC-32 of what a launcher file stores, as ZIP records it (zlib's polynomial and
// conventions): libdeflate's over bytes, using the processor's carry-less multiply where it has
// one; zlib's combination operator over a run of zero bytes (a hole), which needs no byte of the
// run; and a second thread that checksums a stretch of a file while the kernel copies it, whose
// result says whether the stretch could be read in full.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace pack {

// Continues `crc` (0 to start) over the bytes, as zlib's crc32 does.
[[nodiscard]] std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data,
                                        std::size_t length);

// The same as Crc32Update over `length` zero bytes, in time logarithmic in the length.
[[nodiscard]] std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length);

// kSkip takes the file's holes, as SEEK_DATA and SEEK_HOLE find them, and whatever lies past
// its end as zeros without reading them: the output of a sparse member ends in a hole that only
// the next write or the final truncation makes part of the file.
enum class Holes { kRead, kSkip };

// kAsWritten reads a file that is still being written only as far as Written has announced:
// the reading trails the writing without waiting for it to end.
enum class Pace { kAtOnce, kAsWritten };

struct RangeCrc {
  bool complete = false;  // false: the input ended early (error 0) or could not be read
  int error = 0;
  std::uint32_t crc = 0;
};

// Computes the CRC-32 of a stretch of a file on a second thread, reading it with pread into a
// buffer of its own, while the caller has the kernel copy data between the files: the checksum
// then adds hardly any time to the copy. Where no thread can be started, the checksum runs on
// the caller's thread when it is asked for.
class RangeChecksum {
 public:
  RangeChecksum();
  ~RangeChecksum();
  RangeChecksum(const RangeChecksum&) = delete;
  RangeChecksum& operator=(const RangeChecksum&) = delete;

  // Starts continuing `crc` over `length` bytes of the file from `offset` on.
  void Start(std::uint32_t crc, int descriptor, std::uint64_t offset, std::uint64_t length,
             Holes holes = Holes::kRead, Pace pace = Pace::kAtOnce);
  // With Pace::kAsWritten: the file holds its final bytes up to `end`.
  void Written(std::uint64_t end);
  // With Pace::kAsWritten: the writing stopped at `end`, where the stretch now ends.
  void EndAt(std::uint64_t end);
  // Waits for the stretch started last. Must follow every Start.
  [[nodiscard]] RangeCrc Finish();

 private:
  struct Job {
    std::uint32_t crc = 0;
    int descriptor = -1;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    Holes holes = Holes::kRead;
    Pace pace = Pace::kAtOnce;
  };
  [[nodiscard]] RangeCrc Compute(const Job& job);
  // Where the bytes from `position` on that may be read end; `position` when none are left.
  [[nodiscard]] std::uint64_t ReadableEnd(std::uint64_t position);
  [[nodiscard]] bool ChecksumStretch(RangeCrc& result, const Job& job, bool& probe_holes,
                                     std::uint64_t position, std::uint64_t end);
  [[nodiscard]] bool ReadInto(RangeCrc& result, int descriptor, std::uint64_t position,
                              std::uint64_t end);
  void Work();

  std::unique_ptr<unsigned char[]> buffer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Job job_;
  std::uint64_t written_end_ = 0;  // with Pace::kAsWritten
  std::uint64_t job_end_ = 0;
  RangeCrc result_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

// Waits for the checksum on every way out of the scope that started it, so the worker is idle
// before the next stretch starts.
class PendingChecksum {
 public:
  PendingChecksum(RangeChecksum& checksum, std::uint32_t crc, int descriptor, std::uint64_t offset,
                  std::uint64_t length, Holes holes = Holes::kRead, Pace pace = Pace::kAtOnce)
      : checksum_(checksum) {
    checksum_.Start(crc, descriptor, offset, length, holes, pace);
  }
  ~PendingChecksum() {
    if (!finished_) {
      static_cast<void>(checksum_.Finish());
    }
  }
  PendingChecksum(const PendingChecksum&) = delete;
  PendingChecksum& operator=(const PendingChecksum&) = delete;

  [[nodiscard]] RangeCrc Finish() {
    finished_ = true;
    return checksum_.Finish();
  }

 private:
  RangeChecksum& checksum_;
  bool finished_ = false;
};

}  // namespace pack
