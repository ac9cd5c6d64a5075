// The one way a fuzz target reports a broken promise: it names the promise on standard
// error and aborts, so libFuzzer keeps the input as a crash and the run fails.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Require(bool holds, const char* promise) {
  if (!holds) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}

}  // namespace fuzz
