#include "base/release_constants.h"

#include "base/release_config.h"

namespace base {

// One translation unit, so the literals are built before the values composed of them.
const std::string PathSeparator = "/";
const std::string ReleaseLabel = SETUP_RELEASE_LABEL;
const std::string NameSeparator = "_";
const std::string PlatformTag = SETUP_PLATFORM_TAG;
const std::string AgentArchiveName = "InstallAgent.zip";
const std::string AgentDownloadUrl = std::string("https://") + SETUP_DOWNLOAD_HOST +
                                     "/pi_install_agent_pi_" + ReleaseLabel + NameSeparator +
                                     PlatformTag;
const std::string AgentProgramName = "installagent";
const std::string AgentCacheRoot = ".quenth" + PathSeparator + "app_installer_cache" +
                                   PathSeparator + ReleaseLabel + PathSeparator + PlatformTag +
                                   PathSeparator;
const std::string ValidationMarkerName = ".validatestring";
const std::string CacheLockName = ".lock";

}  // namespace base
