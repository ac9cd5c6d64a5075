#include "agentcache/validation_marker.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

#include "base/files.h"
#include "base/release_constants.h"

namespace agentcache {
namespace {

std::string ValidationMarkerPath(const std::string& directory) {
  return directory + base::PathSeparator + base::ValidationMarkerName;
}

}  // namespace

void WriteValidationMarker(const std::string& directory, const std::string& value) {
  if (directory.empty() || value.empty()) {
    return;
  }
  const base::OwnedFile marker(std::fopen(ValidationMarkerPath(directory).c_str(), "we"));
  if (!marker) {
    return;
  }
  // A marker that is not written is not reported: the next run finds an old or no record
  // and fetches again.
  std::ignore = std::fwrite(value.data(), 1, value.size(), marker.get());
}

bool ValidationMarkerMatches(const std::string& directory, const std::string& value) {
  // The first line of the marker never holds a LF, so a value with one cannot match.
  if (value.empty() || value.find('\n') != std::string::npos) {
    return false;
  }
  const std::string marker_path = ValidationMarkerPath(directory);
  struct stat marker_status {};
  if (stat(marker_path.c_str(), &marker_status) != 0) {
    return false;
  }
  const base::OwnedFile marker(std::fopen(marker_path.c_str(), "re"));
  if (!marker) {
    return false;
  }
  // Only the value's length and one byte more are needed to tell whether the first line
  // equals it, so a huge marker without a LF is never read whole.
  std::vector<char> first_bytes(value.size() + 1);
  const std::size_t read_length =
      std::fread(first_bytes.data(), 1, first_bytes.size(), marker.get());
  if (std::ferror(marker.get()) != 0 || read_length < value.size() ||
      std::memcmp(first_bytes.data(), value.data(), value.size()) != 0) {
    return false;
  }
  return read_length == value.size() || first_bytes[value.size()] == '\n';
}

}  // namespace agentcache
