// Removes the temporary output when setup-pack is stopped by SIGINT, SIGTERM or SIGHUP, so that
// not even an interrupted run leaves a stray file behind; the signal then ends the process as
// it would have without the handler.
#pragma once

#include <string>

namespace pack {

// Paths longer than the handler's fixed buffer are not armed; the file then stays behind only
// if a signal arrives.
void ArmInterruptCleanup(const std::string& temporary_path);
void DisarmInterruptCleanup();

}  // namespace pack
