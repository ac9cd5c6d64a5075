// Judges whether a file's first bytes are the ELF header of a 64-bit x86-64 executable, the only
// kind of stub a launcher file can start with.
#pragma once

#include <cstddef>
#include <string>

namespace pack {

// Bytes of the ELF64 file header; a shorter file is no ELF64 executable.
constexpr std::size_t kElf64HeaderSize = 64;

// The empty string when the header is acceptable (type EXEC or DYN), otherwise what is wrong
// with it, as a short phrase for an error message.
[[nodiscard]] std::string StubHeaderProblem(const unsigned char* header, std::size_t length);

}  // namespace pack
