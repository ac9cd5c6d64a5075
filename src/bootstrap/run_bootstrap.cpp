#include "bootstrap/run_bootstrap.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "agentcache/cache_lock.h"
#include "agentcache/provision.h"
#include "base/trace.h"
#include "launch/launch_agent.h"
#include "localfs/command_lines.h"
#include "localfs/interruption.h"
#include "localfs/self_extraction.h"
#include "localfs/work_directory.h"
#include "verification/publisher_keys.h"

namespace bootstrap {
namespace {

constexpr int kFailure = -1;

void ReportInitializationFailure(int code, base::MessageSink sink) {
  sink("Internal error: Failed to initialize application installer (" + std::to_string(code) + ")",
       true);
}

// A failed agent may have failed only because the programs it unpacked there could not
// start; the user can move the work directory elsewhere with TMPDIR.
void ReportNoexecWorkPlace(const std::string& work_path, const std::string& place,
                           base::MessageSink sink) {
  if (!localfs::IsOnNoexecMount(work_path)) return;
  sink("Note: " + place +
           " is mounted noexec. If the installation failed because a program could not be "
           "started, set TMPDIR to a directory where programs may run and rerun the installer.",
       true);
}

void TracePublisherKeys(const std::vector<verification::PublisherKey>& keys) {
  if (!base::TraceEnabled()) return;
  std::string line = "publisher keys: " + std::to_string(keys.size());
  for (const verification::PublisherKey& key : keys) {
    line += " " + verification::KeyIdText(key.key_id);
  }
  base::Trace(keys.empty() ? "publisher keys: none, the agent is not verified" : line);
}

}  // namespace

// Each step checks for an interruption after it returns: a stopped run ends quietly here,
// removes its work directory on the way out, and main ends it by the signal.
int RunBootstrap(int argc, char** argv, base::MessageSink sink) {
  if (!localfs::SelfLinkReadable()) {
    sink("Internal error: The installer cannot find its own file (is /proc mounted?)", true);
    return kFailure;
  }

  // The unit-test mode works beside the launcher file, yet still makes and removes a work
  // directory. Any other run works only in a work directory: nothing is left loose beside
  // the launcher file, where a later run would take it for its own.
  const localfs::WorkDirectory work_directory;
  const bool unittest_mode = std::getenv("__QX_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr;
  if (work_directory.path().empty() && !unittest_mode) {
    ReportInitializationFailure(localfs::kNoWorkDirectory, sink);
    return kFailure;
  }
  const std::string work_path =
      unittest_mode ? localfs::ExecutableDirectory() : work_directory.path();

  const int extraction = localfs::ExtractLauncherArchive(work_path, sink);
  if (localfs::InterruptRequested()) return kFailure;
  if (extraction != 0) {
    ReportInitializationFailure(extraction, sink);
    return kFailure;
  }

  // The publisher's keys come with the launcher file; one that cannot be read stops the run
  // before any request is made.
  std::vector<verification::PublisherKey> publisher_keys;
  if (verification::ReadPublisherKeys(work_path, publisher_keys) ==
      verification::PublisherKeysStatus::kUnreadable) {
    verification::ReportUnreadablePublisherKey(sink);
    return kFailure;
  }
  TracePublisherKeys(publisher_keys);

  // Held from the first look at the cached agent until the agent's command has ended, so
  // no other run replaces the agent under it.
  agentcache::CacheLock cache_lock;
  const std::string agent_entry_script =
      agentcache::ProvisionInstallAgent(work_path, publisher_keys, cache_lock, sink);
  if (localfs::InterruptRequested() || agent_entry_script.empty()) return kFailure;

  const std::optional<int> agent_status = launch::LaunchInstallAgent(
      localfs::AgentCommandHead(agent_entry_script), work_path, argc, argv, sink);
  if (!agent_status) {
    sink("Failed to start the instal agent", true);
    return kFailure;
  }
  if (localfs::InterruptRequested()) return kFailure;
  if (*agent_status != 0) {
    ReportNoexecWorkPlace(work_path, unittest_mode ? work_path : work_directory.place(), sink);
  }
  return *agent_status;
}

}  // namespace bootstrap
