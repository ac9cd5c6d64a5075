// The stub a launcher file starts with: the one installed together with this setup-pack, and
// the check that a file given as stub is a 64-bit x86-64 ELF executable and nothing more (not a
// launcher file already). A stub that fails the check is reported, once, as what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "options.h"

namespace pack {

// Bytes of the ELF64 file header; a shorter file is no ELF64 executable.
constexpr std::size_t kElf64HeaderSize = 64;

// The empty string when the header is acceptable (type EXEC or DYN), otherwise what is wrong
// with it, as a short phrase for an error message.
[[nodiscard]] std::string StubHeaderProblem(const unsigned char* header, std::size_t length);

// The end of the ELF image of an acceptable header: its section header table, which the link
// editor and strip write last, ends it at e_shoff + e_shnum * e_shentsize. 0 when the header
// names no section header table, so that nothing tells where the image ends.
[[nodiscard]] std::uint64_t ElfImageEnd(const unsigned char* header);

// Reads the header of the open stub (`size` bytes, shown as `path`) and checks it, and that
// the file ends where its ELF image does; false after reporting.
[[nodiscard]] bool CheckStub(int descriptor, const std::string& path, std::uint64_t size,
                             ErrorSink report);

// Where the install rules put the stub relative to this executable (bin/ and lib/setup/): its
// absolute path, or "" where no executable stub lies there (a build tree).
[[nodiscard]] std::string InstalledStubPath();

}  // namespace pack
