// The command line of setup-pack: -o OUTPUT (or --output), the publisher's keys, the stub, the
// bundle and further members; or --attach-signature SIG AGENT, --verify-agent KEY AGENT, or a
// request for the help or the version text.
#pragma once

#include <string>
#include <vector>

namespace pack {

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

}  // namespace pack
