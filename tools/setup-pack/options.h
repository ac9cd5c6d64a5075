// The command line of setup-pack: -o OUTPUT (or --output), the stub, the bundle and further
// members, or a request for the help or the version text.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct PackOptions {
  std::string output;
  std::string stub;
  std::string bundle;
  std::vector<std::string> members;  // stored after bundle.zip, in this order
};

struct ParsedCommandLine {
  enum class Action { kPack, kHelp, kVersion, kUsageError };
  Action action = Action::kUsageError;
  PackOptions options;
  std::string usage_error;  // what is wrong, for kUsageError
};

// Options may stand anywhere before a "--"; every word after it is a file name.
[[nodiscard]] ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace pack
