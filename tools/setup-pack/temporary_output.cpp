#include "temporary_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "input_files.h"

namespace pack {
namespace {

constexpr std::array<int, 3> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP};

// The temporary file a signal handler removes. Paths longer than its fixed buffer are not
// armed; the file then stays behind only if a signal arrives.
std::array<char, 4096> armed_path{};
volatile std::sig_atomic_t armed = 0;

// Only async-signal-safe calls here: unlink, signal, raise. The signal then ends the process
// as it would have.
extern "C" void RemoveTemporaryAndStop(int signal_number) {
  if (armed != 0) {
    ::unlink(armed_path.data());
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t CleanupSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : kCleanupSignals) {
    sigaddset(&signals, signal_number);
  }
  return signals;
}

// Holds the cleanup signals back while it lives: created before the temporary file and
// destroyed once the cleanup is armed, it leaves no moment in which a signal could end the
// process with the file in place and nothing to remove it.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t signals = CleanupSignals();
    ::sigprocmask(SIG_BLOCK, &signals, &previous_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

void ArmSignalCleanup(const std::string& temporary_path) {
  if (temporary_path.size() >= armed_path.size()) {
    return;
  }
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(armed_path.data(), temporary_path.c_str(), temporary_path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  armed = 1;
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndStop;
  action.sa_mask = CleanupSignals();
  for (const int signal_number : kCleanupSignals) {
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      ::sigaction(signal_number, &action, nullptr);
    }
  }
}

void DisarmSignalCleanup() {
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

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
  if (!file_) {
    return;
  }
  file_.reset();  // removes the file, so its data no longer matters
  DisarmSignalCleanup();
}

bool TemporaryOutput::Create(const std::string& output_path, ErrorSink report, unsigned mode) {
  output_path_ = output_path;
  const std::string name = BaseName(output_path);
  struct stat existing {};
  if (name.empty() || (::stat(output_path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
    report("output " + Quoted(output_path) + " is a directory");
    return false;
  }

  int create_error = 0;
  {
    const SignalsHeld held;
    // A hidden name in the output's own directory: the rename that completes the output stays
    // on one file system and is atomic.
    file_.emplace(output_path, DirectoryOf(output_path) + "/." + name + ".XXXXXX");
    create_error = errno;
    if (file_->valid()) {
      ArmSignalCleanup(file_->temporary_path());
    }
  }
  if (!file_->valid()) {
    file_.reset();
    report(WithErrno("cannot create output " + Quoted(output_path), create_error));
    return false;
  }
  // The temporary file is made 0600; a launcher file is run by everyone it is given to.
  if (::fchmod(file_->descriptor(), static_cast<mode_t>(mode)) != 0) {
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
  if (!base::WriteWhole(descriptor(), data, length, at)) {
    report(WithErrno("cannot write output " + Quoted(output_path_), errno));
    return false;
  }
  file_size_ = std::max(file_size_, at + length);
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
        ::copy_file_range(descriptor, &input_at, this->descriptor(), &output_at, step, 0);
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
  if (!file_) {
    // No Create succeeded: there is nothing to rename, as rename itself would have said.
    report(WithErrno("cannot replace output " + Quoted(output_path_), ENOENT));
    return false;
  }
  if (offset_ > file_size_ && ::ftruncate(descriptor(), static_cast<off_t>(offset_)) != 0) {
    report(WithErrno("cannot write output " + Quoted(output_path_), errno));
    return false;
  }
  // The file is closed before the rename, and some file systems report a failed write only
  // then: that is a write that failed, not a rename.
  base::ReplacementFile::CommitStep failed_step{};
  if (!file_->Commit(base::ReplacementFile::Durability::kAtomic, failed_step)) {
    const char* const what = failed_step == base::ReplacementFile::CommitStep::kRename
                                 ? "cannot replace output "
                                 : "cannot write output ";
    report(WithErrno(what + Quoted(output_path_), errno));
    return false;
  }
  file_.reset();  // renamed: nothing is left to remove
  DisarmSignalCleanup();
  return true;
}

}  // namespace pack
