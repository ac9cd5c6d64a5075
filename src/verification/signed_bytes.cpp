#include "verification/signed_bytes.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "verification/crypto.h"

namespace verification {

EndRecordLocation FindEndRecord(const unsigned char* tail, std::size_t length) {
  EndRecordLocation location;
  if (length < kEndRecordSize) {
    return location;
  }
  for (std::size_t offset = length - kEndRecordSize + 1; offset-- > 0;) {
    if (tail[offset] != 'P' || tail[offset + 1] != 'K' || tail[offset + 2] != 5 ||
        tail[offset + 3] != 6) {
      continue;
    }
    const std::size_t comment_length =
        tail[offset + kCommentLengthOffset] |
        static_cast<std::size_t>(tail[offset + kCommentLengthOffset + 1]) << 8;
    if (comment_length == length - offset - kEndRecordSize) {
      location.status = EndRecordLocation::Status::kFound;
      location.record_offset = offset;
      location.comment_length = comment_length;
      return location;
    }
    location.status = EndRecordLocation::Status::kCommentLengthMismatch;
  }
  return location;
}

namespace {

// The tail may grow to twice what must be kept before the older half is hashed and dropped,
// so that each byte is moved about once however small the pieces fed are.
constexpr std::size_t kTailCapacity = 2 * kEndRecordSearchBytes;

}  // namespace

struct SignedBytesHasher::DigestContext {
  OwnedDigestContext context;
};

SignedBytesHasher::SignedBytesHasher() : context_(std::make_unique<DigestContext>()) {
  failed_ = !InitializeCryptoWithoutConfig();
  if (!failed_) context_->context.reset(EVP_MD_CTX_new());
  failed_ = failed_ || context_->context == nullptr ||
            EVP_DigestInit_ex(context_->context.get(), EVP_blake2b512(), nullptr) != 1;
  tail_.reserve(kTailCapacity);
}

SignedBytesHasher::~SignedBytesHasher() = default;

void SignedBytesHasher::Hash(const unsigned char* data, std::size_t length) {
  if (!failed_ && length > 0) {
    failed_ = EVP_DigestUpdate(context_->context.get(), data, length) != 1;
  }
}

void SignedBytesHasher::Feed(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  fed_ += length;
  if (tail_.size() + length <= kTailCapacity) {
    tail_.insert(tail_.end(), bytes, bytes + length);
    return;
  }
  // Everything but the last kEndRecordSearchBytes of tail and data together is hashed now.
  const std::size_t excess = tail_.size() + length - kEndRecordSearchBytes;
  const std::size_t from_tail = std::min(excess, tail_.size());
  Hash(tail_.data(), from_tail);
  tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(from_tail));
  const std::size_t from_data = excess - from_tail;
  Hash(bytes, from_data);
  tail_.insert(tail_.end(), bytes + from_data, bytes + length);
}

bool SignedBytesHasher::Finish(SignedBytes& result) {
  result = SignedBytes();
  std::size_t start = 0;
  if (tail_.size() > kEndRecordSearchBytes) {
    start = tail_.size() - kEndRecordSearchBytes;
    Hash(tail_.data(), start);
  }
  const EndRecordLocation location = FindEndRecord(tail_.data() + start, tail_.size() - start);
  result.end_record = location.status;
  result.archive_length = fed_;
  if (location.status == EndRecordLocation::Status::kFound) {
    result.end_record_offset = fed_ - (tail_.size() - start) + location.record_offset;
    const std::size_t length_field = start + location.record_offset + kCommentLengthOffset;
    Hash(tail_.data() + start, length_field - start);
    const unsigned char zero_length[2] = {0, 0};
    Hash(zero_length, sizeof zero_length);
    const auto* comment = reinterpret_cast<const char*>(tail_.data() + length_field + 2);
    result.comment.assign(comment, location.comment_length);
    unsigned int digest_length = 0;
    if (!failed_) {
      failed_ =
          EVP_DigestFinal_ex(context_->context.get(), result.digest.data(), &digest_length) != 1 ||
          digest_length != result.digest.size();
    }
  }
  tail_.clear();
  fed_ = 0;
  return !failed_;
}

bool HashSignedBytesOfFile(const std::string& path, SignedBytes& result) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  SignedBytesHasher hasher;
  std::vector<unsigned char> buffer(1 << 20);
  ssize_t length = 0;
  while ((length = ::read(descriptor, buffer.data(), buffer.size())) != 0) {
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) {
      const int read_error = errno;
      ::close(descriptor);
      errno = read_error;
      return false;
    }
    hasher.Feed(buffer.data(), static_cast<std::size_t>(length));
  }
  ::close(descriptor);
  errno = 0;
  return hasher.Finish(result);
}

bool CutToSignedBytes(const std::string& archive_path, const SignedBytes& signed_bytes) {
  if (signed_bytes.end_record != EndRecordLocation::Status::kFound) {
    errno = EINVAL;
    return false;
  }
  const int descriptor = ::open(archive_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor < 0) return false;
  struct stat status {};
  const unsigned char zero_length[2] = {0, 0};
  const auto length_field =
      static_cast<off_t>(signed_bytes.end_record_offset + kCommentLengthOffset);
  bool cut = ::fstat(descriptor, &status) == 0;
  if (cut && (!S_ISREG(status.st_mode) ||
              static_cast<std::uint64_t>(status.st_size) != signed_bytes.archive_length)) {
    errno = EBUSY;
    cut = false;
  }
  cut = cut && ::pwrite(descriptor, zero_length, sizeof zero_length, length_field) == 2 &&
        ::ftruncate(descriptor, length_field + 2) == 0;
  const int error = errno;
  ::close(descriptor);
  errno = error;
  return cut;
}

}  // namespace verification
