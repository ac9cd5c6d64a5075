// Every external command line of the launcher, built in one place from words that are
// protected for the shell (shell_words.h). Plain words give the plain command text,
// unquoted.
#pragma once

#include <string>

namespace localfs {

// unzip -qq LAUNCHER -d TARGET
[[nodiscard]] std::string SelfExtractionCommand(const std::string& launcher_path,
                                                const std::string& target_directory);

// PROGRAM -qq -o ARCHIVE -d DESTINATION
[[nodiscard]] std::string AgentUnpackCommand(const std::string& program,
                                             const std::string& archive_path,
                                             const std::string& destination);

// rm -rf 'PATH'
[[nodiscard]] std::string TreeRemovalCommand(const std::string& path);

// rm -rf PATH (the work directory; its place may come from TMPDIR and hold any byte)
[[nodiscard]] std::string WorkDirectoryRemovalCommand(const std::string& path);

// sh ENTRY_SCRIPT
[[nodiscard]] std::string AgentCommandHead(const std::string& entry_script);

// HEAD -installbundle WORK/bundle.zip[ ARG ARG ... ]
[[nodiscard]] std::string AgentCommandLine(const std::string& head,
                                           const std::string& work_directory, int argc,
                                           const char* const* argv);

}  // namespace localfs
