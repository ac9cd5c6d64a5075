// CRC-32 as ZIP records it (zlib's polynomial and conventions): with the processor's carry-less
// multiply where it has one, which is several times faster than zlib's table method, and zlib's
// crc32 otherwise; and the CRC-32 over a run of zero bytes without touching any.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack {

// Continues `crc` (0 to start) over the bytes, as zlib's crc32 does.
[[nodiscard]] std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data,
                                        std::size_t length);

// The same as Crc32Update over `length` zero bytes, in time logarithmic in the length.
[[nodiscard]] std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length);

// zlib's crc32 alone: the reference the fast path must agree with.
[[nodiscard]] std::uint32_t Crc32UpdatePortable(std::uint32_t crc, const unsigned char* data,
                                                std::size_t length);

// Whether Crc32Update uses the carry-less multiply on this processor.
[[nodiscard]] bool Crc32UsesCarrylessMultiply();

}  // namespace pack
