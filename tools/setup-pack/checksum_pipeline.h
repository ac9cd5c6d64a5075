// The copy buffers and the CRC-32 of the data passing through them. The checksum runs on a
// second thread, so it overlaps the writing of its chunk and the reading of the next ones
// instead of adding to them; where no thread can be started it runs on the caller's thread.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace pack {

class ChecksumPipeline {
 public:
  // Chunks small enough to stay in the processor's cache between being read and being written
  // copy far faster than large ones; a few of them keep both threads busy.
  static constexpr std::size_t kChunkSize = 128 * 1024;
  static constexpr std::size_t kBufferCount = 4;

  ChecksumPipeline();
  ~ChecksumPipeline();
  ChecksumPipeline(const ChecksumPipeline&) = delete;
  ChecksumPipeline& operator=(const ChecksumPipeline&) = delete;

  // False when the buffers could not be allocated.
  [[nodiscard]] bool ready() const { return buffers_ != nullptr; }

  // A page-aligned buffer of kChunkSize bytes that no pending checksum still reads.
  [[nodiscard]] unsigned char* NextBuffer();

  // Adds the first `length` bytes of the buffer last returned by NextBuffer to the checksum.
  // The buffer must not change until a later NextBuffer hands it out again.
  void AddChunk(const unsigned char* data, std::size_t length);
  void AddZeros(std::uint64_t length);

  // Waits for the pending chunks and returns the CRC-32 of all added since the last call.
  [[nodiscard]] std::uint32_t TakeCrc();

 private:
  struct Job {
    const unsigned char* data = nullptr;  // null: `length` zero bytes
    std::uint64_t length = 0;
  };
  static constexpr std::size_t kJobCount = 2 * kBufferCount;

  struct FreeDeleter {
    void operator()(unsigned char* memory) const { std::free(memory); }
  };

  void Submit(const Job& job);
  void Run(const Job& job);
  void Work();

  std::unique_ptr<unsigned char, FreeDeleter> buffers_;
  std::size_t next_buffer_ = 0;
  std::size_t current_buffer_ = 0;
  std::array<std::uint64_t, kBufferCount> buffer_job_{};  // last job reading each buffer

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable work_done_;
  std::array<Job, kJobCount> jobs_{};
  std::uint64_t submitted_ = 0;  // jobs are numbered from 1
  std::uint64_t completed_ = 0;
  bool stopping_ = false;
  std::uint32_t crc_ = 0;
  std::thread worker_;
};

}  // namespace pack
