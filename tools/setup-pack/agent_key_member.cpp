#include "agent_key_member.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "base/files.h"
#include "base/launcher_members.h"
#include "verification/publisher_keys.h"

namespace pack {
namespace {

constexpr std::streamsize kMaxTextFileSize = 64 * 1024;

}  // namespace

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
  member.file.descriptor = FileDescriptor(::memfd_create("agent-keys", MFD_CLOEXEC));
  struct stat status {};
  if (!member.file.descriptor.valid() ||
      !base::WriteWhole(member.file.descriptor.get(), keys) ||
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

}  // namespace pack
