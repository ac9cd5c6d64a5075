#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace pack {
namespace {

using Action = ParsedCommandLine::Action;

ParsedCommandLine Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "setup-pack");
  return ParseCommandLine(static_cast<int>(words.size()), words.data());
}

TEST(ParseCommandLine, TakesTheOutputInEveryFormAndTheFilesInOrder) {
  const std::vector<std::vector<const char*>> forms = {
      {"-o", "out", "stub", "bundle.zip", "a", "b"},
      {"-oout", "stub", "bundle.zip", "a", "b"},
      {"--output", "out", "stub", "bundle.zip", "a", "b"},
      {"--output=out", "stub", "bundle.zip", "a", "b"},
      {"stub", "bundle.zip", "-o", "out", "a", "b"},
      {"stub", "-o", "out", "bundle.zip", "--", "a", "b"},
  };
  for (const auto& words : forms) {
    const ParsedCommandLine parsed = Parse(words);
    ASSERT_EQ(parsed.action, Action::kPack) << parsed.usage_error;
    EXPECT_EQ(parsed.options.output, "out");
    EXPECT_EQ(parsed.options.stub, "stub");
    EXPECT_EQ(parsed.options.bundle, "bundle.zip");
    EXPECT_EQ(parsed.options.members, (std::vector<std::string>{"a", "b"}));
  }
}

TEST(ParseCommandLine, WordsAfterTheEndOfOptionsAreFilesEvenWithADash) {
  const ParsedCommandLine parsed = Parse({"-o", "out", "--", "-stub", "--help", "-"});
  ASSERT_EQ(parsed.action, Action::kPack) << parsed.usage_error;
  EXPECT_EQ(parsed.options.stub, "-stub");
  EXPECT_EQ(parsed.options.bundle, "--help");
  EXPECT_EQ(parsed.options.members, (std::vector<std::string>{"-"}));
}

TEST(ParseCommandLine, HelpAndVersionWinWhereverTheyStand) {
  EXPECT_EQ(Parse({"--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-o", "out", "stub", "--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"--version"}).action, Action::kVersion);
  EXPECT_EQ(Parse({"stub", "--version", "bundle"}).action, Action::kVersion);
}

TEST(ParseCommandLine, RefusesIncompleteOrUnknownCommandLines) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{}, "no output file given (-o OUTPUT)"},
      {{"stub", "bundle"}, "no output file given (-o OUTPUT)"},
      {{"-o"}, "option -o needs a file name"},
      {{"stub", "bundle", "--output"}, "option --output needs a file name"},
      {{"-o", ""}, "the output file name is empty"},
      {{"--output=", "stub", "bundle"}, "the output file name is empty"},
      {{"-o", "a", "--output=b", "stub", "bundle"}, "the output is given more than once"},
      {{"-o", "out"}, "no STUB and BUNDLE given"},
      {{"-o", "out", "stub"}, "no BUNDLE given"},
      {{"-o", "out", "-v", "stub", "bundle"}, "unknown option -v"},
      {{"-o", "out", "--outputs=x", "stub", "bundle"}, "unknown option --outputs=x"},
      {{"-o", "out", "stub", "bundle", "--agent-key"}, "option --agent-key needs a key file name"},
      {{"--verify-agent", "key.pub"}, "--verify-agent takes two files, KEY.pub and AGENT"},
      {{"--attach-signature", "s", "a.zip", "--verify-agent"},
       "--attach-signature and --verify-agent cannot be combined"},
      {{"-o", "out", "--attach-signature", "s", "a.zip"},
       "--attach-signature makes no launcher file; it takes no -o"},
  };
  for (const auto& [words, problem] : cases) {
    const ParsedCommandLine parsed = Parse(words);
    EXPECT_EQ(parsed.action, Action::kUsageError);
    EXPECT_EQ(parsed.usage_error, problem);
  }
}

}  // namespace
}  // namespace pack
