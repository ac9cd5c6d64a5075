// The texts setup-pack prints for --help and --version.
#pragma once

#include <string>

namespace pack {

// `installed_stub`: the stub installed beside this setup-pack, named in the text; "" for none.
[[nodiscard]] std::string HelpText(const std::string& installed_stub);
[[nodiscard]] std::string VersionText();

}  // namespace pack
