// The layout of the per-user agent cache, in one place: where the cache directory lies under
// the home directory, its cached agent directory and the agent entry script, the validation
// marker ".validatestring" (the ETag line of the archive the cached agent was last filled
// from, stored without a line end), the names of the records of verified agents, and the
// chain of directories from .quenth down to the cached agent directory: made where missing,
// and checked to be this user's alone before anything inside them is created, opened or
// locked. The chain is resolved once; every later step uses the resolved cache directory, so
// a link repointed meanwhile changes nothing.
#pragma once

#include <sys/stat.h>
#include <string>

namespace agentcache {

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

// Where an update unpacks the new agent before it takes the installed one's place, and where
// the installed one waits meanwhile to be removed (agent_replacement.h).
[[nodiscard]] std::string StagingAgentDirectory(const std::string& cache_directory);
[[nodiscard]] std::string RetiredAgentDirectory(const std::string& cache_directory);

enum class CacheChain {
  // Every directory exists (the cached agent directory may be any entry of this user's,
  // even one that others may write, which the download replaces) and only this user can
  // change it.
  kOwn,
  // The home directory, a directory above it or one of the chain belongs to another user,
  // others could rename or plant entries in it, or a link on the way belongs to another user.
  kForeign,
  // A directory of the chain could not be made (a read-only or missing home, say).
  kCannotBeMade,
};

struct CacheChainCheck {
  CacheChain verdict = CacheChain::kCannotBeMade;
  // With kOwn: the agent cache directory resolved without links, ending with a separator.
  std::string cache_directory;
};

// Make, check, then use: each missing directory is made with mode 0700, and each is checked
// before the next is made in it. The directories above the home belong to root or to this
// user and are writable by group and others only when sticky; so is the home, which belongs
// to this user. Below it, .quenth, app_installer_cache, the release and the platform
// directories are this user's and writable by nobody else; a link among them is followed only
// when it is this user's or root's (~/.quenth on another disk, say), and where it leads is
// checked the same way.
[[nodiscard]] CacheChainCheck MakeOwnCacheChain();

// A file of the cache (the marker, the lock file) may be trusted only when it is a regular
// file of the effective user.
[[nodiscard]] bool OwnRegularFile(const struct stat& entry);

// Rewrites the marker with the value; does nothing for an empty directory or value and
// reports nothing when the file cannot be written.
void WriteValidationMarker(const std::string& directory, const std::string& value);

// true exactly when the marker's text before its first LF equals the non-empty value.
[[nodiscard]] bool ValidationMarkerMatches(const std::string& directory, const std::string& value);

// The records of verified agents (verification_records.h): the version floors and the
// verification record in the cache directory, the token inside the cached agent directory.
inline constexpr char kVersionFloorsName[] = ".agentversionfloors";
inline constexpr char kVerificationRecordName[] = ".agentverification";
inline constexpr char kAgentTokenName[] = ".agentverificationtoken";

}  // namespace agentcache
