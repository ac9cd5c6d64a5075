#include "crc32.h"

#include <libdeflate.h>
#include <zlib.h>

namespace pack {
namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  if (length == 0) {
    return crc;  // libdeflate answers a null pointer with its start value, whatever `crc` is
  }
  return libdeflate_crc32(crc, data, length);
}

std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length) {
  // Zero bytes only multiply the (inverted) register by x^(8*length) mod P, which is what
  // zlib's combine operator does to its first argument.
  const uLong shift = crc32_combine_gen(static_cast<z_off_t>(length));
  const uLong shifted = crc32_combine_op(~crc & kAllOnes, 0, shift);
  return static_cast<std::uint32_t>(~shifted & kAllOnes);
}

}  // namespace pack
