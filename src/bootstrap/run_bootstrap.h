// The launcher's whole run: work directory, self-extraction, agent provisioning and
// launch, in that order, stopping at the first failure. The work directory is removed
// on every way out.
#pragma once

#include "base/message_sink.h"

namespace bootstrap {

// Yields 0 when the agent ran and succeeded, -1 on a failure of the launcher itself,
// or the agent's own failure status (its exit code, or 128 plus its signal).
[[nodiscard]] int RunBootstrap(int argc, char** argv, base::MessageSink sink);

}  // namespace bootstrap
