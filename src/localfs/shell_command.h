// Runs one command line with the system shell and waits for it to end; decodes the
// wait status it yields. The only place where the launcher starts a child process.
#pragma once

#include <string>

namespace localfs {

// How a child stands to the launcher's terminal, to its standard input and to the stop
// signals the launcher receives.
enum class ChildKind {
  // unzip: a session of its own and /dev/null as standard input, so it can ask nothing (a
  // full disk or an encrypted member ends it with an error instead of a prompt). Since no
  // terminal reaches it, every stop signal the launcher receives is passed on to it. Not
  // started once the run was interrupted.
  kArchive,
  // The removals of cleanup (rm -rf): a session of its own, /dev/null as standard input
  // and never a signal, so they always finish. Run even when the run was interrupted.
  kCleanup,
  // The install agent: keeps the launcher's terminal, process group and standard input.
  // The stop signals that did not reach it by themselves are passed on (see PassOn in
  // interruption.h). Not started once the run was interrupted.
  kAgent,
};

// The raw wait status of "/bin/sh -c 'exec COMMAND'", or -1 when no shell could be
// started. COMMAND is one simple command (as command_lines.h builds them): the shell
// replaces itself with it, so the child the launcher waits for is the command itself.
// The child sees every signal disposition as the launcher received it. When a kind that
// an interruption cancels finds one arrived by the time the child would start, nothing
// is started and the status is that of a command ended by that signal.
[[nodiscard]] int RunShellCommand(const std::string& command, ChildKind kind);

struct CommandEnd {
  enum class Kind { NotStarted, Exited, Signalled };
  Kind kind;
  int value;  // the exit code, or the signal number
};

[[nodiscard]] CommandEnd DecodeWaitStatus(int status);

// Runs rm -rf on the path when something exists there; reports nothing.
void RemoveTree(const std::string& path);

}  // namespace localfs
