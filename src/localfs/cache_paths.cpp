#include "localfs/cache_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

#include "base/release_constants.h"

namespace localfs {

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  // Without HOME, a cache under the world-writable /tmp would let another local user plant
  // the agent that this user's launcher then runs; the account's own home is the safe base.
  const passwd* account = getpwuid(getuid());
  if (account != nullptr && account->pw_dir != nullptr && account->pw_dir[0] != '\0') {
    return account->pw_dir;
  }
  return "/tmp";
}

std::string AgentCacheDirectory() {
  std::string directory = HomeDirectory();
  if (directory.size() > 1 && directory.back() != base::PathSeparator[0]) {
    directory += base::PathSeparator;
  }
  return directory + base::AgentCacheRoot;
}

std::string InstallEntryPath(std::string directory) {
  if (!directory.empty() && directory.back() != base::PathSeparator[0]) {
    directory += base::PathSeparator;
  }
  return directory + "install";
}

std::string InstalledAgentDirectory(const std::string& cache_directory) {
  if (cache_directory.empty()) return "";
  const std::string agent_directory =
      cache_directory + base::AgentProgramName + base::PathSeparator;
  // Not followed: unzip never makes the cached agent directory a link.
  struct stat entry {};
  if (lstat(agent_directory.substr(0, agent_directory.size() - 1).c_str(), &entry) != 0 ||
      !S_ISDIR(entry.st_mode) || entry.st_uid != geteuid() ||
      (entry.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "";
  }
  if (stat(InstallEntryPath(agent_directory).c_str(), &entry) != 0) return "";
  return agent_directory;
}

}  // namespace localfs
