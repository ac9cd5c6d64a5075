// Copies one input into the output as it is read, once: data in chunks through the checksum
// pipeline's buffers, the holes of a sparse input as holes of the output (and as zeros in the
// checksum, without reading them). Fails when the input's size changes while it is read, since
// its headers already promise the size found when it was opened.
#pragma once

#include <cstdint>

#include "checksum_pipeline.h"
#include "error_sink.h"
#include "input_files.h"
#include "temporary_output.h"

namespace pack {

enum class Checksum { kNone, kCrc32 };

// With Checksum::kCrc32, `crc` receives the CRC-32 of the copied bytes.
[[nodiscard]] bool StreamInput(const InputFile& input, Checksum checksum,
                               ChecksumPipeline& pipeline, TemporaryOutput& output,
                               std::uint32_t& crc, ErrorSink report);

}  // namespace pack
