#include "agent_signing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <utility>

#include "base/files.h"
#include "base/launcher_members.h"
#include "temporary_output.h"
#include "verification/agent_signature.h"
#include "verification/agent_verification.h"
#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace pack {
namespace {

constexpr std::streamsize kMaxTextFileSize = 64 * 1024;

// Reads a small text file (a key or a signature) whole; false after reporting.
bool ReadSmallTextFile(const std::string& path, const std::string& role, std::string& text,
                       ErrorSink report) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    report(WithErrno("cannot open " + role + " " + Quoted(path), errno));
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_size > kMaxTextFileSize) {
    report(role + " " + Quoted(path) + " is not a regular file of at most 64 KiB");
    return false;
  }
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream contents;
  contents << stream.rdbuf();
  if (!stream.good() && !stream.eof()) {
    report("cannot read " + role + " " + Quoted(path));
    return false;
  }
  text = contents.str();
  return true;
}

bool IsSignature(const std::string& text) {
  verification::AgentSignature unused;
  return verification::ParseAgentSignature(text, unused) !=
         verification::SignatureParse::kUnreadable;
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

bool AddAgentKeyMember(const std::vector<std::string>& key_files, PackInputs& inputs,
                       ErrorSink report) {
  if (key_files.empty()) {
    return true;
  }
  const std::string name = base::kPublisherKeyMemberName;
  for (const MemberInput& member : inputs.members) {
    if (member.stored_name == name) {
      report("two members would be stored as " + Quoted(name) + ": " + Quoted(member.file.path) +
             " and the --agent-key files");
      return false;
    }
  }

  std::string keys;
  for (const std::string& path : key_files) {
    std::string text;
    std::vector<verification::PublisherKey> parsed;
    if (!ReadSmallTextFile(path, "agent key", text, report)) {
      return false;
    }
    if (!verification::ParsePublisherKeys(text, parsed)) {
      report("agent key " + Quoted(path) + " is not a public key file (" +
             "an \"untrusted comment:\" line, then the key)");
      return false;
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    keys += text;
  }

  MemberInput member;
  member.stored_name = name;
  member.file.path = key_files.front();
  member.file.descriptor = base::FileDescriptor(::memfd_create("agent-keys", MFD_CLOEXEC));
  struct stat status {};
  if (!member.file.descriptor.valid() || !base::WriteWhole(member.file.descriptor.get(), keys) ||
      ::fstat(member.file.descriptor.get(), &status) != 0) {
    report(WithErrno("cannot hold the agent keys", errno));
    return false;
  }
  struct stat first_key {};
  if (::stat(key_files.front().c_str(), &first_key) == 0) {
    member.file.mtime = static_cast<std::int64_t>(first_key.st_mtim.tv_sec);
    member.file.uid = first_key.st_uid;
    member.file.gid = first_key.st_gid;
  }
  member.file.size = static_cast<std::uint64_t>(status.st_size);
  member.file.allocated_bytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
  inputs.members.push_back(std::move(member));
  return true;
}

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

  const base::FileDescriptor archive(::open(archive_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
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

bool VerifyAgentArchive(const std::string& key_path, const std::string& archive_path,
                        std::string& summary, ErrorSink report) {
  std::string key_text;
  std::vector<verification::PublisherKey> keys;
  if (!ReadSmallTextFile(key_path, "agent key", key_text, report)) {
    return false;
  }
  if (!verification::ParsePublisherKeys(key_text, keys)) {
    report("agent key " + Quoted(key_path) + " is not a public key file");
    return false;
  }
  struct stat status {};
  if (::stat(archive_path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    report("agent archive " + Quoted(archive_path) + " is not a regular file");
    return false;
  }
  verification::SignedBytes signed_bytes;
  if (!verification::HashSignedBytesOfFile(archive_path, signed_bytes)) {
    report(errno != 0 ? WithErrno("cannot read agent archive " + Quoted(archive_path), errno)
                      : "cannot hash agent archive " + Quoted(archive_path));
    return false;
  }
  const verification::AgentVerification verification =
      verification::VerifyAgentSignature(signed_bytes, keys, verification::LauncherRelease());
  if (!verification.verified) {
    report("agent archive " + Quoted(archive_path) + " failed verification - " +
           verification.failure_reason);
    return false;
  }
  summary = "key id: " + verification::KeyIdText(verification.key_id) +
            "\nagent version: " + std::to_string(verification.version) +
            "\nrelease: " + verification.release + "\n";
  return true;
}

}  // namespace pack
