// Judges whether a file's first bytes are the ELF header of a 64-bit x86-64 executable, the only
// kind of stub a launcher file can start with, and where the ELF image that header describes
// ends, so that a stub carrying more (a launcher file given as stub) can be told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace pack
