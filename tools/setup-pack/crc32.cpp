#include "crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pack {
namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

#if defined(__x86_64__)
#define PACK_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

// Folding: the message, as a polynomial, is reduced 64 bytes at a time in four 128-bit lanes.
// Multiplying a lane by x^(512±32) mod P (the constants, bit-reflected like the CRC) carries it
// 512 bits forward, where it is added to the next block; the final 128 bits have the same
// CRC-32 as the whole message, which the table method then finishes.
constexpr long long kFoldBy4Low = 0x154442bd4;   // x^(4*128+32) mod P
constexpr long long kFoldBy4High = 0x1c6e41596;  // x^(4*128-32) mod P
constexpr long long kFoldBy1Low = 0x1751997d0;   // x^(128+32) mod P
constexpr long long kFoldBy1High = 0x0ccaa009e;  // x^(128-32) mod P
constexpr std::size_t kFoldBlock = 64;

PACK_CLMUL_TARGET __m128i Load(const unsigned char* data) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
}

PACK_CLMUL_TARGET __m128i Fold(__m128i lane, __m128i constants, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

PACK_CLMUL_TARGET std::uint32_t Crc32Carryless(std::uint32_t crc, const unsigned char* data,
                                               std::size_t length) {
  const __m128i fold_by_4 = _mm_set_epi64x(kFoldBy4High, kFoldBy4Low);
  const __m128i fold_by_1 = _mm_set_epi64x(kFoldBy1High, kFoldBy1Low);

  // zlib's crc32 inverts the register before and after; the inverted start value enters the
  // first four bytes of the message.
  __m128i lane0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i lane1 = Load(data + 16);
  __m128i lane2 = Load(data + 32);
  __m128i lane3 = Load(data + 48);
  data += kFoldBlock;
  length -= kFoldBlock;
  while (length >= kFoldBlock) {
    lane0 = Fold(lane0, fold_by_4, Load(data));
    lane1 = Fold(lane1, fold_by_4, Load(data + 16));
    lane2 = Fold(lane2, fold_by_4, Load(data + 32));
    lane3 = Fold(lane3, fold_by_4, Load(data + 48));
    data += kFoldBlock;
    length -= kFoldBlock;
  }
  lane0 = Fold(lane0, fold_by_1, lane1);
  lane0 = Fold(lane0, fold_by_1, lane2);
  lane0 = Fold(lane0, fold_by_1, lane3);
  while (length >= 16) {
    lane0 = Fold(lane0, fold_by_1, Load(data));
    data += 16;
    length -= 16;
  }

  // The CRC of the remainder with a zero register is the CRC of everything so far; in zlib's
  // inverted convention that zero register is the start value kAllOnes.
  unsigned char remainder[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(remainder), lane0);
  const std::uint32_t folded = Crc32UpdatePortable(kAllOnes, remainder, sizeof remainder);
  return Crc32UpdatePortable(folded, data, length);
}

bool DetectCarrylessMultiply() {
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#else
bool DetectCarrylessMultiply() { return false; }
#endif

}  // namespace

bool Crc32UsesCarrylessMultiply() {
  static const bool available = DetectCarrylessMultiply();
  return available;
}

std::uint32_t Crc32UpdatePortable(std::uint32_t crc, const unsigned char* data,
                                  std::size_t length) {
  if (length == 0) {
    return crc;  // zlib would answer a null pointer with its start value, whatever `crc` is
  }
  return static_cast<std::uint32_t>(crc32_z(crc, data, length));
}

std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t length) {
#if defined(__x86_64__)
  if (length >= kFoldBlock && Crc32UsesCarrylessMultiply()) {
    return Crc32Carryless(crc, data, length);
  }
#endif
  return Crc32UpdatePortable(crc, data, length);
}

std::uint32_t Crc32UpdateZeros(std::uint32_t crc, std::uint64_t length) {
  // Zero bytes only multiply the (inverted) register by x^(8*length) mod P, which is what
  // zlib's combine operator does to its first argument.
  const uLong shift = crc32_combine_gen(static_cast<z_off_t>(length));
  const uLong shifted = crc32_combine_op(~crc & kAllOnes, 0, shift);
  return static_cast<std::uint32_t>(~shifted & kAllOnes);
}

}  // namespace pack
