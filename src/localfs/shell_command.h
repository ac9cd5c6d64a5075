// Runs one command line with the system shell and waits for it to end; decodes the
// wait status it yields. The only place where the launcher starts a child process.
#pragma once

#include <string>

namespace localfs {

// The raw wait status of "/bin/sh -c COMMAND", or -1 when no shell could be started.
// While the child runs, an interruption of the launcher is only recorded (see
// interruption.h); the child sees every signal disposition as the launcher received it.
[[nodiscard]] int RunShellCommand(const std::string& command);

struct CommandEnd {
  enum class Kind { NotStarted, Exited, Signalled };
  Kind kind;
  int value;  // the exit code, or the signal number
};

[[nodiscard]] CommandEnd DecodeWaitStatus(int status);

}  // namespace localfs
