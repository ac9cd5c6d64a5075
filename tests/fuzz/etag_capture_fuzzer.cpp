// Feeds header lines to the ETag capture and holds it to its promises: it never touches a
// byte outside the line or the 64-byte capture, the capture stays a NUL-terminated string
// of at most 63 bytes, it holds what a plain model of the rule says, and every line is
// accepted whole.
//
// Input: the first byte is the line end; the rest is cut into lines after each
// occurrence of it (a last piece without it is a line too). With '\n' first, the input
// reads like a header block.

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "transfer/response_headers.h"

namespace {

// What the capture must hold after a line, given what it held before: the last line that
// begins with "ETag: " in any letter case, less its last byte and cut at a NUL; nothing
// for such a line longer than the capture; unchanged for any other line.
std::string ModelCapture(const std::string& previous, const std::string& line) {
  if (line.size() < 6 || strncasecmp(line.c_str(), "ETag: ", 6) != 0) return previous;
  if (line.size() > transfer::kETagCaptureSize) return std::string();
  const std::string kept = line.substr(0, line.size() - 1);
  return kept.substr(0, kept.find('\0'));
}

std::vector<std::string> CutIntoLines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  if (size == 0) return lines;
  const char line_end = static_cast<char>(data[0]);
  std::string line;
  for (std::size_t index = 1; index < size; ++index) {
    line += static_cast<char>(data[index]);
    if (line.back() == line_end) {
      lines.push_back(line);
      line.clear();
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Heap blocks of exactly the sizes in play: AddressSanitizer faults on any access past
  // either end of the capture or of a line.
  const std::unique_ptr<char[]> capture_buffer =
      std::make_unique<char[]>(transfer::kETagCaptureSize);
  char* capture = capture_buffer.get();
  std::string expected;

  const std::vector<std::string> lines = CutIntoLines(data, size);
  for (std::size_t line_index = 0; line_index < lines.size(); ++line_index) {
    const std::string& line = lines[line_index];
    const std::unique_ptr<char[]> line_bytes = std::make_unique<char[]>(line.size());
    std::memcpy(line_bytes.get(), line.data(), line.size());

    // libcurl passes size 1 and the length as count; the product is what counts, so
    // every other line comes the other way round.
    const bool length_as_count = line_index % 2 == 0;
    const std::size_t item_size = length_as_count ? 1 : line.size();
    const std::size_t item_count = length_as_count ? line.size() : 1;

    fuzz::Require(transfer::CaptureETagHeader(line_bytes.get(), item_size, item_count, &capture) ==
                      line.size(),
                  "a line is accepted whole");

    const void* terminator = std::memchr(capture, '\0', transfer::kETagCaptureSize);
    fuzz::Require(terminator != nullptr, "the capture is NUL-terminated within its buffer");
    const std::string captured(capture);
    fuzz::Require(captured.size() < transfer::kETagCaptureSize,
                  "the capture holds at most 63 bytes");
    expected = ModelCapture(expected, line);
    fuzz::Require(captured == expected,
                  "the capture is the last ETag line less its last byte, or empty");
  }
  return 0;
}
