#include "temporary_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "input_files.h"
#include "signal_cleanup.h"

namespace pack {
namespace {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

TemporaryOutput::~TemporaryOutput() { Discard(); }

void TemporaryOutput::Discard() {
  if (temporary_path_.empty()) {
    return;
  }
  std::ignore = descriptor_.Close();  // the file is removed, so its data no longer matters
  ::unlink(temporary_path_.c_str());
  DisarmSignalCleanup();
  temporary_path_.clear();
}

bool TemporaryOutput::Create(const std::string& output_path, ErrorSink report, unsigned mode) {
  output_path_ = output_path;
  const std::string name = BaseName(output_path);
  struct stat existing {};
  if (name.empty() || (::stat(output_path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
    report("output " + Quoted(output_path) + " is a directory");
    return false;
  }

  // A hidden name in the output's own directory: the rename that completes the output stays
  // on one file system and is atomic.
  std::string pattern = DirectoryOf(output_path) + "/." + name + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int descriptor = -1;
  int create_error = 0;
  {
    const SignalsHeld held;
    descriptor = ::mkostemp(buffer.data(), O_CLOEXEC);
    create_error = errno;
    if (descriptor >= 0) {
      ArmSignalCleanup(buffer.data());
    }
  }
  if (descriptor < 0) {
    report(WithErrno("cannot create output " + Quoted(output_path), create_error));
    return false;
  }
  descriptor_ = FileDescriptor(descriptor);
  temporary_path_ = buffer.data();
  // mkostemp makes the file 0600; a launcher file is run by everyone it is given to.
  if (::fchmod(descriptor, static_cast<mode_t>(mode)) != 0) {
    report(WithErrno("cannot set the mode of output " + Quoted(output_path), errno));
    Discard();
    return false;
  }
  offset_ = 0;
  file_size_ = 0;
  return true;
}

bool TemporaryOutput::WriteAll(const unsigned char* data, std::size_t length, std::uint64_t at,
                               ErrorSink report) {
  while (length > 0) {
    const ssize_t written = ::pwrite(descriptor_.get(), data, length, static_cast<off_t>(at));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      report(WithErrno("cannot write output " + Quoted(output_path_), written < 0 ? errno : EIO));
      return false;
    }
    const auto count = static_cast<std::size_t>(written);
    data += count;
    length -= count;
    at += count;
  }
  if (at > file_size_) {
    file_size_ = at;
  }
  return true;
}

bool TemporaryOutput::Append(const unsigned char* data, std::size_t length, ErrorSink report) {
  if (!WriteAll(data, length, offset_, report)) {
    return false;
  }
  offset_ += length;
  return true;
}

bool TemporaryOutput::Append(const Bytes& bytes, ErrorSink report) {
  return Append(bytes.data(), bytes.size(), report);
}

TemporaryOutput::CopyOutcome TemporaryOutput::AppendCopy(int descriptor, std::uint64_t offset,
                                                         std::uint64_t length, ErrorSink report) {
  // Copied a step at a time, so that a signal is seen soon and the output grows as it goes.
  constexpr std::uint64_t kStep = 8 << 20;
  auto input_at = static_cast<loff_t>(offset);
  auto output_at = static_cast<loff_t>(offset_);
  std::uint64_t copied = 0;
  while (copied < length) {
    const auto step = static_cast<std::size_t>(std::min(kStep, length - copied));
    const ssize_t count =
        ::copy_file_range(descriptor, &input_at, descriptor_.get(), &output_at, step, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && copied == 0 &&
        (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      return CopyOutcome::kUnsupported;
    }
    if (count < 0) {
      report(WithErrno("cannot write output " + Quoted(output_path_), errno));
      return CopyOutcome::kFailed;
    }
    if (count == 0) {
      return CopyOutcome::kInputEnded;
    }
    copied += static_cast<std::uint64_t>(count);
    offset_ += static_cast<std::uint64_t>(count);
    file_size_ = std::max(file_size_, offset_);
  }
  return CopyOutcome::kCopied;
}

void TemporaryOutput::AppendHole(std::uint64_t length) {
  // The file is new, so everything past its end reads as zeros; Commit extends it should it
  // end in a hole.
  offset_ += length;
}

bool TemporaryOutput::Overwrite(std::uint64_t offset, const Bytes& bytes, ErrorSink report) {
  return WriteAll(bytes.data(), bytes.size(), offset, report);
}

bool TemporaryOutput::Commit(ErrorSink report) {
  if (offset_ > file_size_ && ::ftruncate(descriptor_.get(), static_cast<off_t>(offset_)) != 0) {
    report(WithErrno("cannot write output " + Quoted(output_path_), errno));
    return false;
  }
  // Some file systems report a failed write only when the file is closed.
  if (descriptor_.Close() != 0) {
    report(WithErrno("cannot write output " + Quoted(output_path_), errno));
    return false;
  }
  if (::rename(temporary_path_.c_str(), output_path_.c_str()) != 0) {
    report(WithErrno("cannot replace output " + Quoted(output_path_), errno));
    return false;
  }
  DisarmSignalCleanup();
  temporary_path_.clear();
  return true;
}

}  // namespace pack
