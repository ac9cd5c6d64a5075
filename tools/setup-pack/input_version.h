// What tells one version of an input from the next: its size and its modification and change
// times, to the nanosecond. Every write to a file moves them, so an input whose version is the
// same before and after it was copied was not written meanwhile.
#pragma once

#include <cstdint>

namespace pack {

struct InputVersion {
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  std::int64_t changed_seconds = 0;
  std::int64_t changed_nanoseconds = 0;
};

[[nodiscard]] bool SameVersion(const InputVersion& one, const InputVersion& other);

// False, errno set, when the file cannot be examined.
[[nodiscard]] bool ReadInputVersion(int descriptor, InputVersion& version);

}  // namespace pack
