// setup-pack's side of its user: the command line (-o OUTPUT or --output, the publisher's keys,
// the stub, the bundle and further members; or --attach-signature SIG AGENT, --verify-agent
// KEY AGENT, or a request for the help or the version text), the texts it prints, and how it
// reports a failure: once, where it happens, as one line that names the problem. Operations
// return false (or an empty result) after reporting.
#pragma once

#include <string>
#include <vector>

namespace pack {

// Where every failure goes: ReportToStderr in setup-pack, a recorder in the unit tests.
using ErrorSink = void (*)(const std::string& message);

constexpr char kMessagePrefix[] = "setup-pack: ";

// Writes kMessagePrefix, the message and a newline to standard error.
void ReportToStderr(const std::string& message);

// "'path'": how messages show a file name, so that one with blanks stays readable.
std::string Quoted(const std::string& path);

// The message for a failed system call: the text, ": " and strerror of the error number.
std::string WithErrno(const std::string& text, int error_number);

struct PackOptions {
  std::string output;
  std::string stub;
  std::string bundle;
  std::vector<std::string> members;     // stored after bundle.zip, in this order
  std::vector<std::string> agent_keys;  // --agent-key files, stored together as one member
};

// The two files of --attach-signature (the signature file, the agent archive) or of
// --verify-agent (the public key file, the agent archive).
struct AgentFiles {
  std::string signature_or_key;
  std::string agent_archive;
};

struct ParsedCommandLine {
  enum class Action { kPack, kAttachSignature, kVerifyAgent, kHelp, kVersion, kUsageError };
  Action action = Action::kUsageError;
  PackOptions options;
  AgentFiles agent_files;   // for kAttachSignature and kVerifyAgent
  std::string usage_error;  // what is wrong, for kUsageError
};

// Options may stand anywhere before a "--"; every word after it is a file name.
[[nodiscard]] ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

// The texts printed for --help and --version.
// `installed_stub`: the stub installed beside this setup-pack, named in the text; "" for none.
[[nodiscard]] std::string HelpText(const std::string& installed_stub);
[[nodiscard]] std::string VersionText();

}  // namespace pack
