// The launcher's entry: runs the bootstrap and closes every failed run with one line.
#include "bootstrap/console_message_sink.h"
#include "bootstrap/name_service.h"
#include "bootstrap/run_bootstrap.h"
#include "localfs/interruption.h"

int main(int argc, char** argv) {
#ifdef SETUP_STATIC_STUB
  bootstrap::RestrictNameServiceToBuiltins();
#endif
  const localfs::InterruptionGuard interruption_guard;
  const int result = bootstrap::RunBootstrap(argc, argv, bootstrap::ConsoleMessageSink);
  if (result != 0) {
    bootstrap::ConsoleMessageSink("Installation failed.", true);
  }
  // An interrupted run ends by the same signal, so the calling shell sees it as such.
  if (const int signal_number = localfs::PendingInterruption(); signal_number != 0) {
    localfs::EndBySignal(signal_number);
  }
  return result;
}
