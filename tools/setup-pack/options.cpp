#include "options.h"

#include <cstdio>
#include <cstring>
#include <tuple>

#include "base/launcher_members.h"

namespace pack {
namespace {

ParsedCommandLine UsageError(const std::string& problem) {
  ParsedCommandLine result;
  result.action = ParsedCommandLine::Action::kUsageError;
  result.usage_error = problem;
  return result;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; false when it is not that
// option. `missing` is set when the value is missing.
bool TakeValue(const std::string& word, const std::string& name, int argc, const char* const* argv,
               int& index, std::string& value, bool& missing) {
  if (word == name) {
    missing = index + 1 >= argc;
    if (!missing) value = argv[++index];
    return true;
  }
  if (word.compare(0, name.size() + 1, name + "=") == 0) {
    value = word.substr(name.size() + 1);
    return true;
  }
  return false;
}

ParsedCommandLine AgentFileAction(ParsedCommandLine::Action action, const std::string& option,
                                  const std::string& first_file,
                                  const std::vector<std::string>& files) {
  if (files.size() != 2) {
    return UsageError(option + " takes two files, " + first_file + " and AGENT");
  }
  ParsedCommandLine result;
  result.action = action;
  result.agent_files.signature_or_key = files[0];
  result.agent_files.agent_archive = files[1];
  return result;
}

}  // namespace

void ReportToStderr(const std::string& message) {
  const std::string line = kMessagePrefix + message + "\n";
  std::ignore = std::fwrite(line.data(), 1, line.size(), stderr);  // nothing left to tell
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string WithErrno(const std::string& text, int error_number) {
  return text + ": " + std::strerror(error_number);
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  ParsedCommandLine result;
  std::vector<std::string> files;
  bool have_output = false;
  bool options_ended = false;
  std::string agent_file_option;  // --attach-signature or --verify-agent, when given

  for (int index = 1; index < argc; ++index) {
    const std::string word = argv[index];
    if (options_ended || word.size() < 2 || word[0] != '-') {
      files.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      result.action = ParsedCommandLine::Action::kHelp;
      return result;
    }
    if (word == "--version") {
      result.action = ParsedCommandLine::Action::kVersion;
      return result;
    }

    if (word == "--attach-signature" || word == "--verify-agent") {
      if (!agent_file_option.empty() && agent_file_option != word) {
        return UsageError(agent_file_option + " and " + word + " cannot be combined");
      }
      agent_file_option = word;
      continue;
    }

    std::string value;
    bool missing = false;
    if (TakeValue(word, "--agent-key", argc, argv, index, value, missing)) {
      if (missing || value.empty()) {
        return UsageError("option --agent-key needs a key file name");
      }
      result.options.agent_keys.push_back(value);
      continue;
    }
    if (word == "-o" || word == "--output") {
      if (index + 1 >= argc) {
        return UsageError("option " + word + " needs a file name");
      }
      value = argv[++index];
    } else if (word.compare(0, 9, "--output=") == 0) {
      value = word.substr(9);
    } else if (word.compare(0, 2, "-o") == 0) {
      value = word.substr(2);
    } else {
      return UsageError("unknown option " + word);
    }
    if (have_output) {
      return UsageError("the output is given more than once");
    }
    if (value.empty()) {
      return UsageError("the output file name is empty");
    }
    result.options.output = value;
    have_output = true;
  }

  if (!agent_file_option.empty()) {
    if (have_output || !result.options.agent_keys.empty()) {
      return UsageError(agent_file_option + " makes no launcher file; it takes no " +
                        (have_output ? "-o" : "--agent-key"));
    }
    return agent_file_option == "--verify-agent"
               ? AgentFileAction(ParsedCommandLine::Action::kVerifyAgent, agent_file_option,
                                 "KEY.pub", files)
               : AgentFileAction(ParsedCommandLine::Action::kAttachSignature, agent_file_option,
                                 "SIG.minisig", files);
  }
  if (!have_output) {
    return UsageError("no output file given (-o OUTPUT)");
  }
  if (files.size() < 2) {
    return UsageError(files.empty() ? "no STUB and BUNDLE given" : "no BUNDLE given");
  }
  result.options.stub = files[0];
  result.options.bundle = files[1];
  result.options.members.assign(files.begin() + 2, files.end());
  result.action = ParsedCommandLine::Action::kPack;
  return result;
}

// The member names come from the leaf the launcher reads them by, so the text cannot drift.
std::string HelpText(const std::string& installed_stub) {
  std::string text =
      "Usage: setup-pack -o OUTPUT [--agent-key KEY.pub]... STUB BUNDLE [MEMBER...]\n"
      "       setup-pack --attach-signature SIG.minisig AGENT.zip\n"
      "       setup-pack --verify-agent KEY.pub AGENT.zip\n"
      "Make a launcher file: the executable STUB followed by a ZIP archive that holds\n"
      "BUNDLE as \"" +
      std::string(base::kBundleMemberName) +
      "\" and each MEMBER under its own base name, in the order given.\n"
      "\n"
      "  -o, --output=OUTPUT  write the launcher file to OUTPUT (mode 0755); it is written\n"
      "                       beside OUTPUT first and replaces OUTPUT only when complete\n"
      "      --agent-key=KEY.pub\n"
      "                       store the publisher's minisign public key as the member\n"
      "                       \"" +
      base::kPublisherKeyMemberName +
      "\"; repeat it for a backup key. The launcher\n"
      "                       then runs only downloaded agents signed by one of the keys\n"
      "      --attach-signature SIG.minisig AGENT.zip\n"
      "                       write the signature file as AGENT.zip's ZIP comment, replacing\n"
      "                       AGENT.zip (and a signature attached before) atomically\n"
      "      --verify-agent KEY.pub AGENT.zip\n"
      "                       check AGENT.zip's attached signature as the launcher does and\n"
      "                       print the key id, the agent version and the release\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and exit\n"
      "\n"
      "STUB must be an ELF64 x86-64 executable, and not a launcher file already.\n"
      "Members are stored uncompressed; the archive's offsets count from the start of\n"
      "OUTPUT, so unzip reads it in place.\n"
      "Where a size or an offset reaches 4 GiB, the archive gets Zip64 records.\n"
      "\n"
      "Environment:\n"
      "  SOURCE_DATE_EPOCH    when set (seconds since 1970), every member gets this time and\n"
      "                       owner 0:0, so the same inputs give the same bytes; otherwise\n"
      "                       each member gets its file's modification time and owner.\n"
      "                       The DOS time fields are written in UTC, whatever TZ says.\n"
      "\n"
      "Sign an agent archive without a comment: minisign -S -m AGENT.zip\n"
      "  -t \"agent-version=N agent-release=" SETUP_PACK_RELEASE
      "\"\n"
      "\n"
      "Exit status: 0 on success, 1 when packing, attaching or verifying failed, 2 for a\n"
      "bad command line.\n";
  if (!installed_stub.empty()) {
    text += "\nThe stub installed with this setup-pack: " + installed_stub + "\n";
  }
  return text;
}

std::string VersionText() { return "setup-pack (setup) " SETUP_PACK_VERSION "\n"; }

}  // namespace pack
