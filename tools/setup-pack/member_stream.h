// Copies one input into the output and yields the CRC-32 of what it wrote: the kernel copies
// the data (copy_file_range, as cat does) while a second thread reads the same stretch of the
// input and a third reads the output back one step behind, each checksumming what it reads;
// small stretches, and file systems that cannot copy that way, pass through a buffer instead.
// The holes of a sparse input become holes of the output, and zeros in the checksum, without
// being read.
// Fails ("... changed while it was being packed") when the input is written while it is copied:
// the bytes read and written differ, or its size or times moved. Its headers already promise
// the size found when it was opened, and a mixture of two versions must never ship.
#pragma once

#include <cstdint>

#include "input_files.h"
#include "options.h"
#include "temporary_output.h"

namespace pack {

enum class Checksum { kNone, kCrc32 };

// kRead is what kKernelCopy falls back to where the file systems cannot copy between the two
// files: pieces read into a buffer, checksummed and written from there.
enum class CopyMethod { kKernelCopy, kRead };

// With Checksum::kCrc32, `crc` receives the CRC-32 of the copied bytes.
[[nodiscard]] bool StreamInput(const InputFile& input, Checksum checksum, TemporaryOutput& output,
                               std::uint32_t& crc, ErrorSink report,
                               CopyMethod method = CopyMethod::kKernelCopy);

}  // namespace pack
