// The cost of verifying a downloaded agent: the rate at which SignedBytesHasher takes a body
// fed in libcurl-sized pieces, against OpenSSL's BLAKE2b-512 over the same bytes in one call.
// Each is timed in three alternating rounds and the fastest round counts, so that a passing
// load on a shared machine shows less.
// Usage: signed_bytes_hash [MIB [PIECE_BYTES]]   (default 256 MiB in pieces of 16 KiB)
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "verification/signed_bytes.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const std::size_t piece = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16384;
  if (mib == 0 || piece == 0) {
    std::fprintf(stderr, "usage: signed_bytes_hash [MIB [PIECE_BYTES]]\n");
    return 2;
  }
  std::vector<unsigned char> body(mib << 20);
  for (std::size_t index = 0; index < body.size(); ++index) {
    body[index] = static_cast<unsigned char>((index * 2654435761u) >> 13);
  }

  bool finished = true;
  bool hashed = true;
  double hasher_seconds = 0;
  double one_shot_seconds = 0;
  for (int round = 0; round < 3; ++round) {
    const auto hasher_start = std::chrono::steady_clock::now();
    verification::SignedBytesHasher hasher;
    for (std::size_t at = 0; at < body.size(); at += piece) {
      hasher.Feed(body.data() + at, std::min(piece, body.size() - at));
    }
    verification::SignedBytes result;
    finished = hasher.Finish(result) && finished;
    const double hasher_round = SecondsSince(hasher_start);

    const auto one_shot_start = std::chrono::steady_clock::now();
    unsigned char digest[64];
    unsigned int length = 0;
    hashed =
        EVP_Digest(body.data(), body.size(), digest, &length, EVP_blake2b512(), nullptr) == 1 &&
        hashed;
    const double one_shot_round = SecondsSince(one_shot_start);
    hasher_seconds = round == 0 ? hasher_round : std::min(hasher_seconds, hasher_round);
    one_shot_seconds = round == 0 ? one_shot_round : std::min(one_shot_seconds, one_shot_round);
  }
  if (!finished || !hashed) {
    std::fprintf(stderr, "the digest failed\n");
    return 1;
  }
  std::printf("signed-bytes hasher: %zu MiB in pieces of %zu bytes: %.3f ms/MiB (%.0f MiB/s)\n",
              mib, piece, hasher_seconds * 1000 / static_cast<double>(mib),
              static_cast<double>(mib) / hasher_seconds);
  std::printf("BLAKE2b-512 in one call: %.3f ms/MiB (%.0f MiB/s); hasher/one call %.3f\n",
              one_shot_seconds * 1000 / static_cast<double>(mib),
              static_cast<double>(mib) / one_shot_seconds, hasher_seconds / one_shot_seconds);
  return 0;
}
