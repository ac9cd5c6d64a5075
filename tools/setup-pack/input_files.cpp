#include "input_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "base/launcher_members.h"
#include "elf_check.h"

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
  file.descriptor = FileDescriptor(descriptor);
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

bool CheckStub(const InputFile& stub, ErrorSink report) {
  unsigned char header[kElf64HeaderSize] = {};
  ssize_t length = 0;
  do {
    length = ::pread(stub.descriptor.get(), header, sizeof header, 0);
  } while (length < 0 && errno == EINTR);
  if (length < 0) {
    report(WithErrno("cannot read stub " + Quoted(stub.path), errno));
    return false;
  }
  const std::string problem = StubHeaderProblem(header, static_cast<std::size_t>(length));
  if (!problem.empty()) {
    report("stub " + Quoted(stub.path) + " is not an ELF64 x86-64 executable: " + problem);
    return false;
  }
  // A launcher file is a valid executable too; packing it again would give two archives.
  const std::uint64_t image_end = ElfImageEnd(header);
  if (image_end > stub.size) {
    report("stub " + Quoted(stub.path) +
           " is not an ELF64 x86-64 executable: a truncated ELF file");
    return false;
  }
  if (image_end != 0 && image_end < stub.size) {
    report("stub " + Quoted(stub.path) + " has " + std::to_string(stub.size - image_end) +
           " bytes after the end of its ELF image; is it a launcher file already?");
    return false;
  }
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
      !CheckStub(inputs.stub, report)) {
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

}  // namespace pack
