// The inputs of a launcher file and all that can be checked before any output exists: each
// input is a readable regular file, the stub is an ELF64 x86-64 executable, no two members
// share a stored name, the output is none of the inputs, and SOURCE_DATE_EPOCH, when set, is a
// number of seconds. Also what tells one version of an input from the next, so that an input
// written while it is copied can be refused. Each check reports its failure once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "options.h"

namespace pack {

struct InputFile {
  std::string path;  // as given, for messages
  base::FileDescriptor descriptor;
  std::uint64_t size = 0;
  std::uint64_t allocated_bytes = 0;  // less than size when the file has holes
  std::int64_t mtime = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

struct MemberInput {
  InputFile file;
  std::string stored_name;  // "bundle.zip" for the bundle, the base name for the others
};

struct PackInputs {
  InputFile stub;
  std::vector<MemberInput> members;  // the bundle first, then the others in the order given
};

// The part of a path after its last slash.
[[nodiscard]] std::string BaseName(const std::string& path);

[[nodiscard]] bool OpenInputs(const PackOptions& options, PackInputs& inputs, ErrorSink report);

// Reads SOURCE_DATE_EPOCH, the reproducible-build time: when set, every member is recorded with
// this time and with owner 0:0 instead of its file's own.
// `value` is the variable's text or null when unset. A set value must be a decimal number of
// seconds; anything else (the empty string too) is reported, since silently falling back to
// the files' own times would break the reproducibility the caller asked for.
[[nodiscard]] bool ParseSourceDateEpoch(const char* value, std::optional<std::int64_t>& epoch,
                                        ErrorSink report);

// The size and the modification and change times, to the nanosecond: every write to a file
// moves them, so an input whose version is the same before and after it was copied was not
// written meanwhile.
struct InputVersion {
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  std::int64_t changed_seconds = 0;
  std::int64_t changed_nanoseconds = 0;
};

[[nodiscard]] bool SameVersion(const InputVersion& one, const InputVersion& other);

// False, errno set, when the file cannot be examined.
[[nodiscard]] bool ReadInputVersion(int descriptor, InputVersion& version);

}  // namespace pack
