#include "input_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <map>
#include <utility>

#include "base/launcher_members.h"
#include "stub_file.h"

namespace pack {
namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// `role` names the input in messages: "stub", "bundle" or "member".
bool OpenRegularFile(const std::string& path, const std::string& role, InputFile& file,
                     ErrorSink report) {
  // O_NONBLOCK keeps a FIFO given by mistake from blocking the open; it means nothing for the
  // regular files that pass the check below.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) {
    report(WithErrno("cannot open " + role + " " + Quoted(path), errno));
    return false;
  }
  file.path = path;
  file.descriptor = base::FileDescriptor(descriptor);
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    report(WithErrno("cannot examine " + role + " " + Quoted(path), errno));
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    report(role + " " + Quoted(path) + " is not a regular file (it is " + KindOf(status.st_mode) +
           ")");
    return false;
  }
  file.size = static_cast<std::uint64_t>(status.st_size);
  file.allocated_bytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
  file.mtime = static_cast<std::int64_t>(status.st_mtim.tv_sec);
  file.uid = status.st_uid;
  file.gid = status.st_gid;
  return true;
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Replacing an input with the launcher file would destroy it; refuse before writing anything.
bool CheckOutputIsNoInput(const std::string& output, const PackInputs& inputs, ErrorSink report) {
  struct stat output_status {};
  if (::stat(output.c_str(), &output_status) != 0) {
    return true;  // nothing there yet, or nothing we could replace anyway
  }
  std::vector<const InputFile*> files{&inputs.stub};
  for (const MemberInput& member : inputs.members) {
    files.push_back(&member.file);
  }
  for (const InputFile* file : files) {
    struct stat input_status {};
    if (::fstat(file->descriptor.get(), &input_status) == 0 &&
        SameFile(input_status, output_status)) {
      report("output " + Quoted(output) + " is also the input " + Quoted(file->path));
      return false;
    }
  }
  return true;
}

}  // namespace

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool OpenInputs(const PackOptions& options, PackInputs& inputs, ErrorSink report) {
  if (!OpenRegularFile(options.stub, "stub", inputs.stub, report) ||
      !CheckStub(inputs.stub.descriptor.get(), inputs.stub.path, inputs.stub.size, report)) {
    return false;
  }

  inputs.members.clear();
  inputs.members.reserve(options.members.size() + 1);
  std::map<std::string, std::string> path_by_name;
  for (std::size_t index = 0; index <= options.members.size(); ++index) {
    const bool is_bundle = index == 0;
    const std::string& path = is_bundle ? options.bundle : options.members[index - 1];
    MemberInput member;
    member.stored_name = is_bundle ? base::kBundleMemberName : BaseName(path);
    if (!OpenRegularFile(path, is_bundle ? "bundle" : "member", member.file, report)) {
      return false;
    }
    const auto [earlier, inserted] = path_by_name.emplace(member.stored_name, path);
    if (!inserted) {
      report("two members would be stored as " + Quoted(member.stored_name) + ": " +
             Quoted(earlier->second) + " and " + Quoted(path));
      return false;
    }
    inputs.members.push_back(std::move(member));
  }
  return CheckOutputIsNoInput(options.output, inputs, report);
}

bool ParseSourceDateEpoch(const char* value, std::optional<std::int64_t>& epoch, ErrorSink report) {
  epoch.reset();
  if (value == nullptr) {
    return true;
  }
  const std::string text = value;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max();
  std::int64_t seconds = 0;
  bool valid = !text.empty();
  for (const char digit : text) {
    if (digit < '0' || digit > '9' || seconds > (kLimit - (digit - '0')) / 10) {
      valid = false;
      break;
    }
    seconds = seconds * 10 + (digit - '0');
  }
  if (!valid) {
    report("SOURCE_DATE_EPOCH is not a number of seconds: " + Quoted(text));
    return false;
  }
  epoch = seconds;
  return true;
}

bool ReadInputVersion(int descriptor, InputVersion& version) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    return false;
  }
  version.size = static_cast<std::uint64_t>(status.st_size);
  version.modified_seconds = status.st_mtim.tv_sec;
  version.modified_nanoseconds = status.st_mtim.tv_nsec;
  version.changed_seconds = status.st_ctim.tv_sec;
  version.changed_nanoseconds = status.st_ctim.tv_nsec;
  return true;
}

bool SameVersion(const InputVersion& one, const InputVersion& other) {
  return one.size == other.size && one.modified_seconds == other.modified_seconds &&
         one.modified_nanoseconds == other.modified_nanoseconds &&
         one.changed_seconds == other.changed_seconds &&
         one.changed_nanoseconds == other.changed_nanoseconds;
}

}  // namespace pack
