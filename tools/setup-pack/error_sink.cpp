#include "error_sink.h"

#include <cstdio>
#include <cstring>
#include <tuple>

namespace pack {

void ReportToStderr(const std::string& message) {
  const std::string line = kMessagePrefix + message + "\n";
  std::ignore = std::fwrite(line.data(), 1, line.size(), stderr);  // nothing left to tell
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string WithErrno(const std::string& text, int error_number) {
  return text + ": " + std::strerror(error_number);
}

}  // namespace pack
