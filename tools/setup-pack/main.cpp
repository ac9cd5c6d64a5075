// setup-pack: makes a launcher file from the setup executable, a bundle and further members.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>

#include "agent_signing.h"
#include "input_files.h"
#include "launcher_writer.h"
#include "options.h"
#include "stub_file.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void Print(const std::string& text) {
  std::ignore = std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const pack::ParsedCommandLine command_line = pack::ParseCommandLine(argc, argv);
  switch (command_line.action) {
    case pack::ParsedCommandLine::Action::kHelp:
      Print(pack::HelpText(pack::InstalledStubPath()));
      return std::fflush(stdout) == 0 ? EXIT_SUCCESS : kExitFailure;
    case pack::ParsedCommandLine::Action::kVersion:
      Print(pack::VersionText());
      return std::fflush(stdout) == 0 ? EXIT_SUCCESS : kExitFailure;
    case pack::ParsedCommandLine::Action::kUsageError:
      pack::ReportToStderr(command_line.usage_error + "; see 'setup-pack --help'");
      return kExitUsage;
    case pack::ParsedCommandLine::Action::kAttachSignature:
      return pack::AttachSignature(command_line.agent_files.signature_or_key,
                                   command_line.agent_files.agent_archive, pack::ReportToStderr)
                 ? EXIT_SUCCESS
                 : kExitFailure;
    case pack::ParsedCommandLine::Action::kVerifyAgent: {
      std::string summary;
      if (!pack::VerifyAgentArchive(command_line.agent_files.signature_or_key,
                                    command_line.agent_files.agent_archive, summary,
                                    pack::ReportToStderr)) {
        return kExitFailure;
      }
      Print(summary);
      return std::fflush(stdout) == 0 ? EXIT_SUCCESS : kExitFailure;
    }
    case pack::ParsedCommandLine::Action::kPack:
      break;
  }

  std::optional<std::int64_t> source_date_epoch;
  pack::PackInputs inputs;
  if (!pack::ParseSourceDateEpoch(std::getenv("SOURCE_DATE_EPOCH"), source_date_epoch,
                                  pack::ReportToStderr) ||
      !pack::OpenInputs(command_line.options, inputs, pack::ReportToStderr) ||
      !pack::AddAgentKeyMember(command_line.options.agent_keys, inputs, pack::ReportToStderr) ||
      !pack::WriteLauncherFile(inputs, command_line.options.output, source_date_epoch,
                               pack::ReportToStderr)) {
    return kExitFailure;
  }
  return EXIT_SUCCESS;
}
