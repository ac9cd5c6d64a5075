#include "options.h"

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

}  // namespace pack
