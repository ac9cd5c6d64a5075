#include "bootstrap/run_bootstrap.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "agentcache/cache_lock.h"
#include "agentcache/provision.h"
#include "launch/launch_agent.h"
#include "localfs/command_lines.h"
#include "localfs/interruption.h"
#include "localfs/self_extraction.h"
#include "localfs/self_path.h"
#include "localfs/work_directory.h"

namespace bootstrap {
namespace {

constexpr int kFailure = -1;

std::string ChooseWorkPath(const localfs::WorkDirectory& work_directory) {
  std::string work_path = work_directory.path();
  if (work_path.empty() || std::getenv("__QX_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
    work_path = localfs::ExecutableDirectory();
  }
  return work_path;
}

}  // namespace

// Each step checks for an interruption after it returns: a stopped run ends quietly here,
// removes its work directory on the way out, and main ends it by the signal.
int RunBootstrap(int argc, char** argv, MessageSink sink) {
  const localfs::WorkDirectory work_directory;
  const std::string work_path = ChooseWorkPath(work_directory);

  const int extraction = localfs::ExtractLauncherArchive(work_path, sink);
  if (localfs::InterruptRequested()) return kFailure;
  if (extraction != 0) {
    sink("Internal error: Failed to initialize application installer (" +
             std::to_string(extraction) + ")",
         true);
    return kFailure;
  }

  // Held from the first look at the cached agent until the agent's command has ended, so
  // no other run replaces the agent under it.
  agentcache::CacheLock cache_lock;
  const std::string agent_entry_script =
      agentcache::ProvisionInstallAgent(work_path, cache_lock, sink);
  if (localfs::InterruptRequested() || agent_entry_script.empty()) return kFailure;

  const std::optional<int> agent_status = launch::LaunchInstallAgent(
      localfs::AgentCommandHead(agent_entry_script), work_path, argc, argv, sink);
  if (!agent_status) {
    sink("Failed to start the instal agent", true);
    return kFailure;
  }
  if (localfs::InterruptRequested()) return kFailure;
  return *agent_status;
}

}  // namespace bootstrap
