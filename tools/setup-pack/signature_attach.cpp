#include "signature_attach.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agent_key_member.h"
#include "verification/agent_signature.h"
#include "verification/signed_bytes.h"
#include "file_descriptor.h"
#include "temporary_output.h"

namespace pack {
namespace {

bool IsSignature(const std::string& text) {
  verification::AgentSignature unused;
  return verification::ParseAgentSignature(text, unused) != verification::SignatureParse::kUnreadable;
}

bool ReadAt(int descriptor, unsigned char* data, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    const ssize_t count = ::pread(descriptor, data, length, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    length -= static_cast<std::size_t>(count);
    offset += static_cast<std::uint64_t>(count);
  }
  return true;
}

// The first `length` bytes of the archive into the output: by the kernel where it can, or
// through a buffer.
bool CopyPrefix(int descriptor, std::uint64_t length, const std::string& archive_path,
                TemporaryOutput& output, ErrorSink report) {
  const TemporaryOutput::CopyOutcome outcome = output.AppendCopy(descriptor, 0, length, report);
  if (outcome == TemporaryOutput::CopyOutcome::kCopied) return true;
  if (outcome != TemporaryOutput::CopyOutcome::kUnsupported) {
    if (outcome == TemporaryOutput::CopyOutcome::kInputEnded) {
      report("agent archive " + Quoted(archive_path) + " shrank while it was read");
    }
    return false;
  }
  std::vector<unsigned char> buffer(1 << 20);
  for (std::uint64_t copied = 0; copied < length;) {
    const auto step =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - copied));
    if (!ReadAt(descriptor, buffer.data(), step, copied)) {
      report(WithErrno("cannot read agent archive " + Quoted(archive_path), errno));
      return false;
    }
    if (!output.Append(buffer.data(), step, report)) return false;
    copied += step;
  }
  return true;
}

}  // namespace

bool AttachSignature(const std::string& signature_path, const std::string& archive_path,
                     ErrorSink report) {
  std::string signature;
  if (!ReadSmallTextFile(signature_path, "signature", signature, report)) {
    return false;
  }
  if (!IsSignature(signature) || signature.size() > verification::kMaxCommentLength) {
    report("signature " + Quoted(signature_path) + " is not a minisign signature file");
    return false;
  }

  const FileDescriptor archive(::open(archive_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (!archive.valid() || ::fstat(archive.get(), &status) != 0) {
    report(WithErrno("cannot open agent archive " + Quoted(archive_path), errno));
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    report("agent archive " + Quoted(archive_path) + " is not a regular file");
    return false;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t tail_start =
      size > verification::kEndRecordSearchBytes ? size - verification::kEndRecordSearchBytes : 0;
  std::vector<unsigned char> tail(size - tail_start);
  if (!ReadAt(archive.get(), tail.data(), tail.size(), tail_start)) {
    report(WithErrno("cannot read agent archive " + Quoted(archive_path), errno));
    return false;
  }
  const verification::EndRecordLocation end = verification::FindEndRecord(tail.data(), tail.size());
  if (end.status != verification::EndRecordLocation::Status::kFound) {
    report("agent archive " + Quoted(archive_path) + " has no ZIP end record");
    return false;
  }
  const std::size_t comment_start = end.record_offset + verification::kEndRecordSize;
  const std::string comment(reinterpret_cast<const char*>(tail.data()) + comment_start,
                            end.comment_length);
  if (!comment.empty() && !IsSignature(comment)) {
    report("agent archive " + Quoted(archive_path) +
           " has a ZIP comment that is not a signature; it is left as it is");
    return false;
  }

  TemporaryOutput output;
  const std::uint64_t length_field =
      tail_start + end.record_offset + verification::kCommentLengthOffset;
  const unsigned char comment_length[2] = {static_cast<unsigned char>(signature.size() & 0xFF),
                                           static_cast<unsigned char>(signature.size() >> 8)};
  return output.Create(archive_path, report, status.st_mode & 07777) &&
         CopyPrefix(archive.get(), length_field, archive_path, output, report) &&
         output.Append(comment_length, sizeof comment_length, report) &&
         output.Append(reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                       report) &&
         output.Commit(report);
}

}  // namespace pack
