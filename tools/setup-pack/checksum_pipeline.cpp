#include "checksum_pipeline.h"

#include <system_error>

#include "crc32.h"

namespace pack {
namespace {

constexpr std::size_t kPageSize = 4096;

}  // namespace

ChecksumPipeline::ChecksumPipeline()
    : buffers_(
          static_cast<unsigned char*>(std::aligned_alloc(kPageSize, kChunkSize * kBufferCount))) {
  try {
    worker_ = std::thread([this] { Work(); });
  } catch (const std::system_error&) {
    // No second thread: AddChunk then checksums on the caller's thread, which is only slower.
  }
}

ChecksumPipeline::~ChecksumPipeline() {
  if (worker_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_one();
    worker_.join();
  }
}

unsigned char* ChecksumPipeline::NextBuffer() {
  current_buffer_ = next_buffer_;
  next_buffer_ = (next_buffer_ + 1) % kBufferCount;
  if (worker_.joinable()) {
    std::unique_lock<std::mutex> lock(mutex_);
    work_done_.wait(lock, [this] { return completed_ >= buffer_job_[current_buffer_]; });
  }
  return buffers_.get() + current_buffer_ * kChunkSize;
}

void ChecksumPipeline::AddChunk(const unsigned char* data, std::size_t length) {
  Submit(Job{data, length});
  buffer_job_[current_buffer_] = submitted_;
}

void ChecksumPipeline::AddZeros(std::uint64_t length) { Submit(Job{nullptr, length}); }

void ChecksumPipeline::Submit(const Job& job) {
  if (!worker_.joinable()) {
    ++submitted_;
    Run(job);
    completed_ = submitted_;
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    work_done_.wait(lock, [this] { return submitted_ - completed_ < kJobCount; });
    ++submitted_;
    jobs_[submitted_ % kJobCount] = job;
  }
  work_ready_.notify_one();
}

std::uint32_t ChecksumPipeline::TakeCrc() {
  std::unique_lock<std::mutex> lock(mutex_);
  work_done_.wait(lock, [this] { return completed_ == submitted_; });
  const std::uint32_t crc = crc_;
  crc_ = 0;
  return crc;
}

void ChecksumPipeline::Run(const Job& job) {
  crc_ = job.data != nullptr ? Crc32Update(crc_, job.data, static_cast<std::size_t>(job.length))
                             : Crc32UpdateZeros(crc_, job.length);
}

void ChecksumPipeline::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || completed_ < submitted_; });
    if (completed_ == submitted_) {
      return;  // stopping, with nothing left to do
    }
    const Job job = jobs_[(completed_ + 1) % kJobCount];
    lock.unlock();
    Run(job);
    lock.lock();
    ++completed_;
    work_done_.notify_one();
  }
}

}  // namespace pack
