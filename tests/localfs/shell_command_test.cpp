#include "localfs/shell_command.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <csignal>

#include "common/scratch_directory.h"
#include "localfs/interruption.h"

namespace {

using localfs::ChildKind;
using localfs::CommandEnd;

TEST(RunShellCommand, YieldsTheWaitStatusOfTheCommand) {
  const CommandEnd exited =
      localfs::DecodeWaitStatus(localfs::RunShellCommand("sh -c 'exit 3'", ChildKind::kAgent));
  EXPECT_EQ(exited.kind, CommandEnd::Kind::Exited);
  EXPECT_EQ(exited.value, 3);

  const CommandEnd clean =
      localfs::DecodeWaitStatus(localfs::RunShellCommand("true", ChildKind::kArchive));
  EXPECT_EQ(clean.kind, CommandEnd::Kind::Exited);
  EXPECT_EQ(clean.value, 0);

  const CommandEnd killed = localfs::DecodeWaitStatus(
      localfs::RunShellCommand("sh -c 'kill -TERM $$'", ChildKind::kCleanup));
  EXPECT_EQ(killed.kind, CommandEnd::Kind::Signalled);
  EXPECT_EQ(killed.value, SIGTERM);
}

TEST(RunShellCommand, ACommandThatIsNotFoundIsAnExitOf127) {
  const CommandEnd end = localfs::DecodeWaitStatus(
      localfs::RunShellCommand("no-such-command-anywhere 2>/dev/null", ChildKind::kAgent));
  EXPECT_EQ(end.kind, CommandEnd::Kind::Exited);
  EXPECT_EQ(end.value, 127);
}

TEST(DecodeWaitStatus, MinusOneMeansNoShell) {
  EXPECT_EQ(localfs::DecodeWaitStatus(-1).kind, CommandEnd::Kind::NotStarted);
}

// The child's signal dispositions, as the kernel reports them for the child itself.
std::string ChildSignalMasks(const testing_support::ScratchDirectory& scratch) {
  const std::string out = scratch / "status";
  EXPECT_EQ(localfs::RunShellCommand("grep -E '^Sig(Ign|Cgt):' /proc/self/status > '" + out + "'",
                                     ChildKind::kAgent),
            0);
  return testing_support::ReadFile(out);
}

unsigned long long MaskField(const std::string& status, const std::string& field) {
  const std::string::size_type at = status.find(field + ":");
  return std::stoull(status.substr(at + field.size() + 1), nullptr, 16);
}

unsigned long long Bit(int signal_number) { return 1ULL << (signal_number - 1); }

TEST(RunShellCommand, ChildrenGetTheDispositionsTheLauncherReceived) {
  const testing_support::ScratchDirectory scratch;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous_hup {};
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous_hup), 0);
  {
    const localfs::InterruptionGuard guard;
    const std::string status = ChildSignalMasks(scratch);
    const unsigned long long ignored = MaskField(status, "SigIgn");
    const unsigned long long caught = MaskField(status, "SigCgt");
    EXPECT_TRUE(ignored & Bit(SIGHUP)) << "ignored at start stays ignored";
    EXPECT_FALSE(ignored & Bit(SIGINT)) << "the shell must not be left ignoring Ctrl-C";
    EXPECT_FALSE(ignored & Bit(SIGTERM));
    EXPECT_FALSE(caught & Bit(SIGTERM));
  }
  ASSERT_EQ(sigaction(SIGHUP, &previous_hup, nullptr), 0);
}

// An interruption cannot be taken back, so the case runs in a child process of its own.
// After an interruption a step of the run starts nothing and reads as ended by the signal;
// the cleanup still runs its command.
void StepsAfterAnInterruption(const std::string& scratch) {
  const localfs::InterruptionGuard guard;
  if (raise(SIGHUP) != 0 || localfs::PendingInterruption() != SIGHUP) _exit(1);
  const CommandEnd step = localfs::DecodeWaitStatus(
      localfs::RunShellCommand("touch '" + scratch + "/step'", ChildKind::kArchive));
  if (step.kind != CommandEnd::Kind::Signalled || step.value != SIGHUP) _exit(2);
  if (access((scratch + "/step").c_str(), F_OK) == 0) _exit(3);
  if (localfs::RunShellCommand("touch '" + scratch + "/cleanup'", ChildKind::kCleanup) != 0)
    _exit(4);
  if (access((scratch + "/cleanup").c_str(), F_OK) != 0) _exit(5);
  _exit(0);
}

TEST(InterruptionGuard, AnInterruptedRunStartsNoFurtherStep) {
  const testing_support::ScratchDirectory scratch;
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StepsAfterAnInterruption(scratch.path()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
