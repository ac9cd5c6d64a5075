// The fixed strings that name this launcher's agent release and platform: the agent
// archive, the cached agent directory, the download URL, the cache root, the marker and
// the cache's lock file.
// Built before main runs and never changed afterwards.
#pragma once

#include <string>

namespace base {

extern const std::string PathSeparator;
extern const std::string ReleaseLabel;
extern const std::string NameSeparator;
extern const std::string PlatformTag;
extern const std::string AgentArchiveName;
extern const std::string AgentDownloadUrl;
extern const std::string AgentProgramName;
extern const std::string AgentCacheRoot;
extern const std::string ValidationMarkerName;
extern const std::string CacheLockName;

}  // namespace base
