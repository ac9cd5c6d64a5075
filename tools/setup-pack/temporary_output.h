// Owns the file a launcher file (or a signed agent archive) is written to: a hidden temporary
// file beside the output's name (close-on-exec, mode 0755 unless told otherwise) that Commit
// renames over the output once it is complete. On every other way out it is removed, a signal
// that ends setup-pack (SIGINT, SIGTERM, SIGHUP) included, so the output's name never holds a
// half-written file and no run leaves a stray one. Every failure is reported once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/files.h"
#include "options.h"
#include "zip_records.h"

namespace pack {

class TemporaryOutput {
 public:
  TemporaryOutput() = default;
  ~TemporaryOutput();
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;

  // `mode` is the output's permission bits; a launcher file's are 0755.
  [[nodiscard]] bool Create(const std::string& output_path, ErrorSink report, unsigned mode = 0755);

  [[nodiscard]] bool Append(const unsigned char* data, std::size_t length, ErrorSink report);
  [[nodiscard]] bool Append(const Bytes& bytes, ErrorSink report);
  // Has the kernel copy `length` bytes of the input file from `offset` on to the end of the
  // output (copy_file_range), without passing them through this process. kUnsupported, with
  // nothing copied, where the file systems cannot; kInputEnded when the input is shorter.
  enum class CopyOutcome { kCopied, kUnsupported, kInputEnded, kFailed };
  [[nodiscard]] CopyOutcome AppendCopy(int descriptor, std::uint64_t offset, std::uint64_t length,
                                       ErrorSink report);
  // Zero bytes that take no disk space: the output keeps the holes of a sparse input.
  void AppendHole(std::uint64_t length);
  // Replaces bytes already written, without moving the append position.
  [[nodiscard]] bool Overwrite(std::uint64_t offset, const Bytes& bytes, ErrorSink report);

  // Where the next Append goes, counted from the first byte of the file.
  [[nodiscard]] std::uint64_t offset() const { return offset_; }
  // For reading back what was written (with pread: the file position is never used); -1
  // before Create and after Commit.
  [[nodiscard]] int descriptor() const { return file_ ? file_->descriptor() : -1; }
  [[nodiscard]] const std::string& path() const { return output_path_; }

  // After a successful Create: makes the file its full length and renames it over the output.
  [[nodiscard]] bool Commit(ErrorSink report);

 private:
  [[nodiscard]] bool WriteAll(const unsigned char* data, std::size_t length, std::uint64_t at,
                              ErrorSink report);
  void Discard();

  std::string output_path_;
  std::optional<base::ReplacementFile> file_;  // from Create until Commit or Discard
  std::uint64_t offset_ = 0;
  std::uint64_t file_size_ = 0;  // what the file holds; offset_ is beyond it after a hole
};

}  // namespace pack
