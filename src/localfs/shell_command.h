// Runs one command line with the system shell and waits for it to end; decodes the
// wait status it yields. The only place where the launcher starts a child process.
#pragma once

#include <string>

namespace localfs {

// The raw wait status of "/bin/sh -c 'exec COMMAND'", or -1 when no shell could be
// started. COMMAND is one simple command (as command_lines.h builds them): the shell
// replaces itself with it, so the child the launcher waits for is the command itself.
// While it runs, a stop signal sent to the launcher by another process is passed on to
// it (see interruption.h); the child sees every signal disposition as the launcher
// received it. Runs even when the run was interrupted: for the removals of cleanup.
[[nodiscard]] int RunShellCommand(const std::string& command);

// The same for a step of the run, which an interruption cancels: when one has arrived by
// the time the child would start, nothing is started and the status is that of a
// command ended by that signal.
[[nodiscard]] int RunShellCommandUnlessInterrupted(const std::string& command);

struct CommandEnd {
  enum class Kind { NotStarted, Exited, Signalled };
  Kind kind;
  int value;  // the exit code, or the signal number
};

[[nodiscard]] CommandEnd DecodeWaitStatus(int status);

}  // namespace localfs
