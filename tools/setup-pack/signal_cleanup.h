// Removes the temporary output when a signal ends setup-pack, so that no run leaves a stray
// file behind. SIGINT, SIGTERM and SIGHUP then end the process as they would have.
#pragma once

#include <signal.h>

#include <string>

namespace pack {

// Holds the cleanup signals back while it lives: created before the temporary file and
// destroyed once the cleanup is armed, it leaves no moment in which a signal could end the
// process with the file in place and nothing to remove it.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// Paths longer than the handler's fixed buffer are not armed; the file then stays behind only
// if a signal arrives.
void ArmSignalCleanup(const std::string& temporary_path);
void DisarmSignalCleanup();

}  // namespace pack
