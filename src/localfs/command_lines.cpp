#include "localfs/command_lines.h"

#include "base/launcher_members.h"
#include "base/release_constants.h"
#include "localfs/shell_words.h"

namespace localfs {

std::string SelfExtractionCommand(const std::string& launcher_path,
                                  const std::string& target_directory) {
  return "unzip -qq " + QuoteIfNeeded(launcher_path) + " -d " + QuoteIfNeeded(target_directory);
}

std::string AgentUnpackCommand(const std::string& program, const std::string& archive_path,
                               const std::string& destination) {
  return QuoteIfNeeded(program) + " -qq -o " + QuoteIfNeeded(archive_path) + " -d " +
         QuoteIfNeeded(destination);
}

std::string TreeRemovalCommand(const std::string& path) { return "rm -rf " + SingleQuoted(path); }

std::string WorkDirectoryRemovalCommand(const std::string& path) {
  return "rm -rf " + QuoteIfNeeded(path);
}

std::string AgentCommandHead(const std::string& entry_script) {
  return "sh " + QuoteIfNeeded(entry_script);
}

std::string AgentCommandLine(const std::string& head, const std::string& work_directory, int argc,
                             const char* const* argv) {
  std::string options = " -installbundle ";
  options += QuoteIfNeeded(work_directory + base::PathSeparator + base::kBundleMemberName);
  if (argc > 1) {
    options += " ";
    options += JoinArguments(argc, argv);
  }
  return head + options;
}

}  // namespace localfs
