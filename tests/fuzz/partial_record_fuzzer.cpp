// Holds the record of a kept partial download to its promises: a record that parses names a
// strong tag and a length above 0, and written out again it parses to the same values, so a
// run never continues bytes under a tag or a length it did not record.
//
// Input: the text of a record file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "agentcache/partial_archive.h"
#include "fuzz_check.h"
#include "transfer/response_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto state = agentcache::ParsePartialRecord(text);
  if (!state) return 0;
  fuzz::Require(!state->etag.empty() && transfer::StrongETag(state->etag) == state->etag,
                "a record names a strong tag");
  fuzz::Require(state->complete_length > 0, "a record names a length above 0");
  const auto again = agentcache::ParsePartialRecord(agentcache::PartialRecordText(*state));
  fuzz::Require(
      again && again->etag == state->etag && again->complete_length == state->complete_length,
      "a record written out parses to the same values");
  return 0;
}
