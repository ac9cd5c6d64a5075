#include "options.h"

namespace pack {
namespace {

ParsedCommandLine UsageError(const std::string& problem) {
  ParsedCommandLine result;
  result.action = ParsedCommandLine::Action::kUsageError;
  result.usage_error = problem;
  return result;
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  ParsedCommandLine result;
  std::vector<std::string> files;
  bool have_output = false;
  bool options_ended = false;

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

    std::string value;
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
