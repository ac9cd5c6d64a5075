#include "agentcache/cache_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "base/files.h"
#include "base/release_constants.h"
#include "localfs/paths.h"

namespace agentcache {

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

std::string StagingAgentDirectory(const std::string& cache_directory) {
  return cache_directory + base::AgentProgramName + ".new";
}

std::string RetiredAgentDirectory(const std::string& cache_directory) {
  return cache_directory + base::AgentProgramName + ".old";
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

namespace {

constexpr mode_t kChainMode = 0700;

std::string InDirectory(const std::string& directory, const std::string& name) {
  return (directory == "/" ? "" : directory) + base::PathSeparator + name;
}

// .quenth, app_installer_cache, the release label and the platform tag.
std::vector<std::string> ChainNames() {
  std::vector<std::string> names;
  const std::string& root = base::AgentCacheRoot;
  std::size_t start = 0;
  for (std::size_t end = root.find(base::PathSeparator); end != std::string::npos;
       end = root.find(base::PathSeparator, start)) {
    if (end > start) names.push_back(root.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// The entry's status without following it, made first as a directory when missing. false when
// it is missing and cannot be made.
bool MadeEntry(const std::string& path, struct stat& entry) {
  if (::lstat(path.c_str(), &entry) == 0) return true;
  if (errno != ENOENT || (::mkdir(path.c_str(), kChainMode) != 0 && errno != EEXIST)) {
    return false;
  }
  return ::lstat(path.c_str(), &entry) == 0;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return "";
  return path.empty() ? std::string(cwd.get()) : std::string(cwd.get()) + "/" + path;
}

// What a resolution means for the chain: kOwn when it resolved, to be checked further.
CacheChain ChainVerdict(localfs::Resolution resolution) {
  switch (resolution) {
    case localfs::Resolution::kResolved:
      return CacheChain::kOwn;
    case localfs::Resolution::kForeignLink:
      return CacheChain::kForeign;
    case localfs::Resolution::kMissing:
    case localfs::Resolution::kFailed:
      break;
  }
  return CacheChain::kCannotBeMade;
}

// A directory resolved: one of this user's that nobody else can change, below directories
// that only their owners can change.
CacheChain ResolveOwnDirectory(const std::string& path, std::string& resolved) {
  const CacheChain resolution = ChainVerdict(localfs::ResolvePath(Absolute(path), resolved));
  if (resolution != CacheChain::kOwn) return resolution;
  struct stat entry {};
  if (::lstat(resolved.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode)) {
    return CacheChain::kCannotBeMade;
  }
  return entry.st_uid == ::geteuid() && localfs::DirectoriesGuarded(resolved)
             ? CacheChain::kOwn
             : CacheChain::kForeign;
}

// One directory of the chain below `directory`, which becomes it. A link of this user's or
// root's leads to a directory checked like the rest of the chain, and to the directories
// above it, checked like those above the home.
CacheChain Descend(std::string& directory, const std::string& name) {
  const std::string path = InDirectory(directory, name);
  struct stat entry {};
  if (!MadeEntry(path, entry)) return CacheChain::kCannotBeMade;
  if (S_ISLNK(entry.st_mode)) {
    if (entry.st_uid != ::geteuid() && entry.st_uid != 0) return CacheChain::kForeign;
    std::string target;
    const CacheChain resolution = ChainVerdict(localfs::ResolvePath(path, target));
    if (resolution != CacheChain::kOwn) return resolution;
    if (::lstat(target.c_str(), &entry) != 0) return CacheChain::kCannotBeMade;
    if (S_ISDIR(entry.st_mode) && localfs::OwnAndClosed(entry) &&
        !localfs::DirectoriesGuarded(target)) {
      return CacheChain::kForeign;
    }
    directory = target;
  } else {
    directory = path;
  }
  if (!localfs::OwnAndClosed(entry)) return CacheChain::kForeign;
  return S_ISDIR(entry.st_mode) ? CacheChain::kOwn : CacheChain::kCannotBeMade;
}

}  // namespace

bool OwnRegularFile(const struct stat& entry) {
  return S_ISREG(entry.st_mode) && entry.st_uid == ::geteuid();
}

CacheChainCheck MakeOwnCacheChain() {
  CacheChainCheck check;
  std::string directory;
  check.verdict = ResolveOwnDirectory(HomeDirectory(), directory);
  std::vector<std::string> names = ChainNames();
  // A HOME of one character other than "/" gets no separator of its own: HOME "x" keeps its
  // cache in "x.quenth" beside it, as it always has.
  const std::string cache_text = AgentCacheDirectory();
  const std::string base = cache_text.substr(0, cache_text.size() - base::AgentCacheRoot.size());
  if (check.verdict == CacheChain::kOwn && base.size() == 1 && base != base::PathSeparator) {
    names.front() = base + names.front();
    check.verdict = ResolveOwnDirectory("", directory);
  }
  for (const std::string& name : names) {
    if (check.verdict != CacheChain::kOwn) return check;
    check.verdict = Descend(directory, name);
  }
  if (check.verdict != CacheChain::kOwn) return check;
  // The cached agent directory may be any entry of this user's: one that is no directory, or
  // that others may write (unzip made it so under an older launcher and a umask of 002), is an
  // incomplete agent, which the download replaces.
  struct stat entry {};
  if (!MadeEntry(InDirectory(directory, base::AgentProgramName), entry)) {
    check.verdict = CacheChain::kCannotBeMade;
    return check;
  }
  if (entry.st_uid != ::geteuid()) {
    check.verdict = CacheChain::kForeign;
    return check;
  }
  check.cache_directory = directory + base::PathSeparator;
  return check;
}

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
