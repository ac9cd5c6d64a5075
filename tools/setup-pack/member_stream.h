// Copies one input into the output as it is read, once, and yields the CRC-32 of what it
// copied: data through read-only mappings of the input (no buffer copy in between), each
// window checksummed on a second thread while it is written; the holes of a sparse input
// become holes of the output, and zeros in the checksum, without being read.
// Fails when the input's size changes while it is read, since its headers already promise the
// size found when it was opened.
#pragma once

#include <cstdint>

#include "error_sink.h"
#include "input_files.h"
#include "temporary_output.h"

namespace pack {

enum class Checksum { kNone, kCrc32 };

// kRead is what kMapped falls back to where the file system cannot map the input: pieces read
// into a buffer, one more copy of each byte.
enum class CopyMethod { kMapped, kRead };

// With Checksum::kCrc32, `crc` receives the CRC-32 of the copied bytes.
[[nodiscard]] bool StreamInput(const InputFile& input, Checksum checksum, TemporaryOutput& output,
                               std::uint32_t& crc, ErrorSink report,
                               CopyMethod method = CopyMethod::kMapped);

}  // namespace pack
