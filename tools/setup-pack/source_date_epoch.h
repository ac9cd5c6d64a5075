// Reads SOURCE_DATE_EPOCH, the reproducible-build time: when set, every member is recorded with
// this time and with owner 0:0 instead of its file's own.
#pragma once

#include <cstdint>
#include <optional>

#include "error_sink.h"

namespace pack {

// `value` is the variable's text or null when unset. A set value must be a decimal number of
// seconds; anything else (the empty string too) is reported, since silently falling back to
// the files' own times would break the reproducibility the caller asked for.
[[nodiscard]] bool ParseSourceDateEpoch(const char* value, std::optional<std::int64_t>& epoch,
                                        ErrorSink report);

}  // namespace pack
