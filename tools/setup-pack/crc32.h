// CRC-32 as ZIP records it (zlib's polynomial and conventions): libdeflate's, which uses the
// processor's carry-less multiply where it has one, and for a run of zero bytes zlib's
// combination operator, which needs no byte of the run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack {

// Continues `crc` (0 to start) over the bytes, as zlib's crc32 does.
[[nodiscard]] std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data,
                                        std::size_t length);

// The same as Crc32Update over `length` zero bytes, in time logarithmic in the length.
[[nodiscard]] std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length);

}  // namespace pack
