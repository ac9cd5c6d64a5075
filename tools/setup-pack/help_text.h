// The texts setup-pack prints for --help and --version.
#pragma once

#include <string>

namespace pack {

[[nodiscard]] std::string HelpText();
[[nodiscard]] std::string VersionText();

}  // namespace pack
