#include "localfs/cache_chain.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/release_constants.h"
#include "localfs/cache_paths.h"
#include "localfs/resolved_paths.h"

namespace localfs {
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

// A directory resolved: one of this user's that nobody else can change, below directories
// that only their owners can change.
CacheChain ResolveOwnDirectory(const std::string& path, std::string& resolved) {
  switch (ResolvePath(Absolute(path), resolved)) {
    case Resolution::kResolved:
      break;
    case Resolution::kForeignLink:
      return CacheChain::kForeign;
    case Resolution::kMissing:
    case Resolution::kFailed:
      return CacheChain::kCannotBeMade;
  }
  struct stat entry {};
  if (::lstat(resolved.c_str(), &entry) != 0 || !S_ISDIR(entry.st_mode)) {
    return CacheChain::kCannotBeMade;
  }
  return entry.st_uid == ::geteuid() && DirectoriesGuarded(resolved) ? CacheChain::kOwn
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
    switch (ResolvePath(path, target)) {
      case Resolution::kResolved:
        break;
      case Resolution::kForeignLink:
        return CacheChain::kForeign;
      case Resolution::kMissing:
      case Resolution::kFailed:
        return CacheChain::kCannotBeMade;
    }
    if (::lstat(target.c_str(), &entry) != 0) return CacheChain::kCannotBeMade;
    if (S_ISDIR(entry.st_mode) && OwnAndClosed(entry) && !DirectoriesGuarded(target)) {
      return CacheChain::kForeign;
    }
    directory = target;
  } else {
    directory = path;
  }
  if (!OwnAndClosed(entry)) return CacheChain::kForeign;
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

}  // namespace localfs
