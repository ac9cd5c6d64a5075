// Paths of the per-user agent cache: the cache directory under the home directory,
// the cached agent directory and the agent entry script inside an agent directory.
#pragma once

#include <string>

namespace localfs {

// The base of the agent cache: HOME when set and not empty, else the password database's
// home directory for the real user id, else /tmp.
[[nodiscard]] std::string HomeDirectory();

// HOME, a separator where needed, then AgentCacheRoot; ends with a separator. When HOME
// is unset or empty the home directory comes from the password database for the real
// user id, and only when that has none from /tmp.
[[nodiscard]] std::string AgentCacheDirectory();

// DIRECTORY/install, adding the separator only when missing; "install" for "".
[[nodiscard]] std::string InstallEntryPath(std::string directory);

// The cached agent directory of the (resolved) cache directory, with a trailing separator,
// when its entry script exists and the directory is this user's alone, otherwise the empty
// string (also for an empty cache directory). One that group or others may write (unzip made
// it so under an older launcher and a umask of 002) may hold files that someone else put
// there: it counts as incomplete, and the download replaces it.
[[nodiscard]] std::string InstalledAgentDirectory(const std::string& cache_directory);

}  // namespace localfs
