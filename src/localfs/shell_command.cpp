#include "localfs/shell_command.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

extern char** environ;

namespace localfs {
namespace {

// Owns a posix_spawnattr_t for the duration of one spawn.
class SpawnAttributes {
 public:
  SpawnAttributes() { ready_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ready_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ready_ = false;
};

// The signals whose handler the launcher installed itself. A child gets them back at
// their default action, which is how the launcher received them (exec would reset a
// caught signal too; setting it here also covers the moment before exec).
bool CollectCaughtSignals(sigset_t* caught) {
  sigemptyset(caught);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) return false;
    if (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL) {
      sigaddset(caught, signal_number);
    }
  }
  return true;
}

}  // namespace

int RunShellCommand(const std::string& command) {
  // Like system(), but the launcher does not ignore SIGINT and SIGQUIT while it waits:
  // an interruption is recorded by its handler and acted on once the child has ended.
  SpawnAttributes attributes;
  sigset_t caught;
  if (!attributes.ready() || !CollectCaughtSignals(&caught)) return -1;
  if (posix_spawnattr_setsigdefault(attributes.get(), &caught) != 0 ||
      posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF) != 0) {
    return -1;
  }
  char shell_name[] = "sh";
  char dash_c[] = "-c";
  std::string command_copy = command;
  char* const arguments[] = {shell_name, dash_c, command_copy.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, "/bin/sh", nullptr, attributes.get(), arguments, environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

CommandEnd DecodeWaitStatus(int status) {
  if (status == -1) return {CommandEnd::Kind::NotStarted, 0};
  if (WIFSIGNALED(status)) return {CommandEnd::Kind::Signalled, WTERMSIG(status)};
  return {CommandEnd::Kind::Exited, WEXITSTATUS(status)};
}

}  // namespace localfs
