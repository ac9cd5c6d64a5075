// Holds the validation marker to its promises for any marker bytes: it matches a value
// exactly when the text before the marker's first LF equals the non-empty value, and a
// value written with WriteValidationMarker is stored byte for byte and matches itself
// unless it is empty or holds a LF (an empty value leaves the marker as it was).
//
// Input: the first byte picks the value, the rest is the marker's content.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agentcache/cache_directory.h"
#include "base/release_constants.h"
#include "fuzz_check.h"

namespace {

// One scratch directory for the whole run, under TMPDIR; removed when the run ends.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string name_template =
        std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
        "/validation-marker-fuzz-XXXXXX";
    fuzz::Require(mkdtemp(name_template.data()) != nullptr, "a scratch directory can be made");
    path_ = name_template;
  }
  ~ScratchDirectory() {
    std::remove(MarkerPath().c_str());
    rmdir(path_.c_str());
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string MarkerPath() const {
    return path_ + base::PathSeparator + base::ValidationMarkerName;
  }

 private:
  std::string path_;
};

void WriteMarkerBytes(const std::string& path, const std::string& content) {
  std::FILE* marker = std::fopen(path.c_str(), "wb");
  fuzz::Require(marker != nullptr, "the scratch marker can be opened");
  const std::size_t written = std::fwrite(content.data(), 1, content.size(), marker);
  fuzz::Require(std::fclose(marker) == 0 && written == content.size(),
                "the scratch marker can be written");
}

std::string ReadMarkerBytes(const std::string& path) {
  std::FILE* marker = std::fopen(path.c_str(), "rb");
  fuzz::Require(marker != nullptr, "the marker can be read back");
  std::string content;
  char buffer[4096];
  std::size_t read_length = 0;
  while ((read_length = std::fread(buffer, 1, sizeof buffer, marker)) > 0) {
    content.append(buffer, read_length);
  }
  std::fclose(marker);
  return content;
}

bool ModelMatches(const std::string& marker_content, const std::string& value) {
  const std::string first_line = marker_content.substr(0, marker_content.find('\n'));
  return !value.empty() && first_line == value;
}

// Values near the marker's content, so that equal, shorter, longer and LF-holding values
// all turn up often.
std::string PickValue(std::uint8_t choice, const std::string& content) {
  const std::size_t cut = std::min<std::size_t>(choice >> 2, content.size());
  switch (choice & 3) {
    case 0:
      return content.substr(0, content.find('\n'));
    case 1:
      return content.substr(0, cut);
    case 2:
      return content;
    default:
      return content.substr(cut);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchDirectory scratch;
  if (size == 0) return 0;
  const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string value = PickValue(data[0], content);

  WriteMarkerBytes(scratch.MarkerPath(), content);
  fuzz::Require(
      agentcache::ValidationMarkerMatches(scratch.path(), value) == ModelMatches(content, value),
      "a marker matches exactly when its first line equals the non-empty value");

  agentcache::WriteValidationMarker(scratch.path(), value);
  const std::string stored = ReadMarkerBytes(scratch.MarkerPath());
  fuzz::Require(stored == (value.empty() ? content : value),
                "a written marker holds the value exactly; an empty value changes nothing");
  fuzz::Require(
      agentcache::ValidationMarkerMatches(scratch.path(), value) == ModelMatches(stored, value),
      "a written marker matches by the same rule");

  fuzz::Require(std::remove(scratch.MarkerPath().c_str()) == 0, "the marker can be removed");
  fuzz::Require(!agentcache::ValidationMarkerMatches(scratch.path(), value),
                "a missing marker matches nothing");
  return 0;
}
