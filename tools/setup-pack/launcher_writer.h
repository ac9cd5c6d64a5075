// Writes a launcher file: the stub as it is, then each member stored with its local header,
// the central directory and the end records, every offset counted from the first byte of the
// file. The output appears under its name only when all of it was written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "input_files.h"
#include "options.h"

namespace pack {

// With `source_date_epoch` every member gets that time and owner 0:0; without it, its file's
// modification time and owner.
[[nodiscard]] bool WriteLauncherFile(const PackInputs& inputs, const std::string& output_path,
                                     std::optional<std::int64_t> source_date_epoch,
                                     ErrorSink report);

}  // namespace pack
