// Opens the inputs of a launcher file and checks all that can be checked before any output
// exists: each input is a readable regular file, the stub is an ELF64 x86-64 executable, no
// two members share a stored name, and the output is none of the inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error_sink.h"
#include "file_descriptor.h"
#include "options.h"

namespace pack {

struct InputFile {
  std::string path;  // as given, for messages
  FileDescriptor descriptor;
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

}  // namespace pack
