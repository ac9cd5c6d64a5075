// Finds the setup stub that was installed together with this setup-pack: at the same place
// relative to the running executable as the install rules put it (bin/ and lib/setup/).
#pragma once

#include <string>

namespace pack {

// The stub's absolute path, or "" where no executable stub lies there (a build tree).
[[nodiscard]] std::string InstalledStubPath();

}  // namespace pack
