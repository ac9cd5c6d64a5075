#include "agentcache/local_agent_archive.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "base/release_constants.h"

namespace agentcache {
namespace {

constexpr char kVersionedArchivePrefix[] = "InstallAgent_";
constexpr char kVersionedArchiveSuffix[] = ".zip";

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && path.back() == base::PathSeparator.back();
}

bool IsVersionedArchiveName(const std::string& name) {
  const std::string prefix = kVersionedArchivePrefix;
  const std::string suffix = kVersionedArchiveSuffix;
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string FindLocalAgentArchive(const std::string& work_directory) {
  const std::string separator = EndsWithSeparator(work_directory) ? "" : base::PathSeparator;
  const std::string plain_archive = work_directory + separator + base::AgentArchiveName;
  struct stat archive_status {};
  if (stat(plain_archive.c_str(), &archive_status) == 0) {
    return plain_archive;
  }

  const std::unique_ptr<DIR, DirectoryCloser> listing(opendir(work_directory.c_str()));
  if (!listing) {
    return "";
  }
  // The listing's own order decides among several matches; nothing is sorted.
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (IsVersionedArchiveName(name)) {
      const std::string directory = EndsWithSeparator(work_directory)
                                        ? work_directory.substr(0, work_directory.size() - 1)
                                        : work_directory;
      return directory + base::PathSeparator + name;
    }
  }
  return "";
}

}  // namespace agentcache
