#include "localfs/shell_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <tuple>

#include "base/trace.h"
#include "localfs/command_lines.h"
#include "localfs/interruption.h"

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

// Owns a posix_spawn_file_actions_t for the duration of one spawn.
class SpawnFileActions {
 public:
  SpawnFileActions() { ready_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ready_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;

  [[nodiscard]] bool ready() const { return ready_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
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

// Default actions for the caught signals, the signal mask the launcher had before it held
// the stop signals back for the spawn, and for a child apart from the terminal a session
// of its own.
bool PrepareAttributes(SpawnAttributes& attributes, const sigset_t& child_mask,
                       bool apart_from_terminal) {
  sigset_t caught;
  if (!attributes.ready() || !CollectCaughtSignals(&caught)) return false;
  const int flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                    (apart_from_terminal ? POSIX_SPAWN_SETSID : 0);
  return posix_spawnattr_setsigdefault(attributes.get(), &caught) == 0 &&
         posix_spawnattr_setsigmask(attributes.get(), &child_mask) == 0 &&
         posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags)) == 0;
}

// /dev/null as standard input for a child apart from the terminal; nothing for one that
// keeps the launcher's.
bool PrepareFileActions(SpawnFileActions& actions, bool apart_from_terminal) {
  if (!actions.ready()) return false;
  return !apart_from_terminal || posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO,
                                                                  "/dev/null", O_RDONLY, 0) == 0;
}

// Waits for the child to end without reaping it, so its process id stays its own for as
// long as the handler may pass a signal on to it.
bool AwaitEnd(pid_t child) {
  siginfo_t end{};
  while (waitid(P_PID, static_cast<id_t>(child), &end, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

const char* KindName(ChildKind kind) {
  switch (kind) {
    case ChildKind::kArchive:
      return "archive";
    case ChildKind::kCleanup:
      return "cleanup";
    case ChildKind::kAgent:
      return "agent";
  }
  return "";
}

// The agent's command line holds the user's arguments, which are theirs alone: only its kind
// and its end are traced (the launch traces its entry script and bundle).
void TraceCommand(const std::string& command, ChildKind kind, int status) {
  if (!base::TraceEnabled()) return;
  const CommandEnd end = DecodeWaitStatus(status);
  const std::string outcome = end.kind == CommandEnd::Kind::Signalled
                                  ? "ended by signal " + std::to_string(end.value)
                                  : "exit status " + std::to_string(end.value);
  base::Trace(std::string("command (") + KindName(kind) + "): " +
              (kind == ChildKind::kAgent ? std::string("the agent") : command) + ": " + outcome);
}

}  // namespace

int RunShellCommand(const std::string& command, ChildKind kind) {
  // Like system(), but the launcher does not ignore SIGINT and SIGQUIT while it waits:
  // an interruption is recorded (and passed on) by its handler and acted on once the
  // child has ended.
  char shell_name[] = "sh";
  char dash_c[] = "-c";
  // A shell that forks the command and waits would take a passed-on signal for itself and
  // leave the command running.
  std::string exec_line = "exec " + command;
  char* const arguments[] = {shell_name, dash_c, exec_line.data(), nullptr};
  const bool apart_from_terminal = kind != ChildKind::kAgent;
  SpawnAttributes attributes;
  SpawnFileActions file_actions;

  pid_t child = 0;
  {
    const StopSignalHold hold;
    if (!PrepareAttributes(attributes, hold.outer_mask(), apart_from_terminal) ||
        !PrepareFileActions(file_actions, apart_from_terminal)) {
      return -1;
    }
    if (kind != ChildKind::kCleanup) {
      if (const int signal_number = hold.Interruption(); signal_number != 0) {
        // Handled as the hold ends; the caller sees the step ended by it.
        return signal_number;
      }
    }
    if (posix_spawn(&child, "/bin/sh", file_actions.get(), attributes.get(), arguments, environ) !=
        0) {
      return -1;
    }
    // A cleanup is passed nothing, and its session keeps the terminal's and the process
    // group's signals from it: no interruption may cut the removal short.
    if (kind != ChildKind::kCleanup) {
      SetForwardingTarget(
          hold, child,
          kind == ChildKind::kArchive ? PassOn::kEverySignal : PassOn::kThoseThatMissedTheGroup);
    }
  }  // a signal held back meanwhile is handled, and passed on, here

  const bool ended = AwaitEnd(child);
  const StopSignalHold hold;
  SetForwardingTarget(hold, 0, PassOn::kThoseThatMissedTheGroup);
  if (!ended) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  TraceCommand(command, kind, status);
  return status;
}

CommandEnd DecodeWaitStatus(int status) {
  if (status == -1) return {CommandEnd::Kind::NotStarted, 0};
  if (WIFSIGNALED(status)) return {CommandEnd::Kind::Signalled, WTERMSIG(status)};
  return {CommandEnd::Kind::Exited, WEXITSTATUS(status)};
}

void RemoveTree(const std::string& path) {
  // lstat, so that a dangling link or a file in the way is removed too.
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) return;
  std::ignore = RunShellCommand(TreeRemovalCommand(path), ChildKind::kCleanup);
}

}  // namespace localfs
