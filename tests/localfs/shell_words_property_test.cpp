// For random byte strings, the shell receives exactly the words that were meant: a word
// protected by QuoteIfNeeded arrives whole, and arguments joined by JoinArguments arrive
// split at blanks and nowhere else. A probe script reports what it received.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "common/scratch_directory.h"
#include "localfs/shell_command.h"
#include "localfs/shell_words.h"

namespace {

using testing_support::ScratchDirectory;

class ShellWordsProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = scratch_ / "probe";
    // Each word as its byte length, a colon and the bytes.
    testing_support::WriteFile(probe_, "for a; do printf '%d:%s' \"${#a}\" \"$a\"; done > '" +
                                           (scratch_ / "received") + "'\n");
  }

  std::vector<std::string> Received(const std::string& words) {
    const std::string command = "env LC_ALL=C sh " + probe_ + " " + words;
    EXPECT_EQ(localfs::RunShellCommand(command, localfs::ChildKind::kCleanup), 0) << command;
    const std::string out = testing_support::ReadFile(scratch_ / "received");
    std::vector<std::string> result;
    for (std::size_t at = 0; at < out.size();) {
      const std::size_t colon = out.find(':', at);
      const std::size_t length = std::stoul(out.substr(at, colon - at));
      result.push_back(out.substr(colon + 1, length));
      at = colon + 1 + length;
    }
    return result;
  }

  std::string RandomBytes(std::mt19937& random, std::size_t max_length) {
    // Weighted towards the characters the shell acts on.
    static const std::string special = " \t\n'\"$`\\;&|<>()*?[]~#!{}=%^,.-/:@+";
    std::uniform_int_distribution<std::size_t> length_of(1, max_length);
    std::uniform_int_distribution<int> kind(0, 2);
    std::uniform_int_distribution<int> any_byte(1, 255);
    std::uniform_int_distribution<std::size_t> special_of(0, special.size() - 1);
    std::string bytes;
    for (std::size_t length = length_of(random); bytes.size() < length;) {
      bytes +=
          kind(random) == 0 ? static_cast<char>(any_byte(random)) : special[special_of(random)];
    }
    return bytes;
  }

  ScratchDirectory scratch_;
  std::string probe_;
};

std::vector<std::string> SplitAtBlanks(const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  for (const std::string& argument : arguments) {
    std::string word;
    for (const char c : argument) {
      if (c == ' ' || c == '\t') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

TEST_F(ShellWordsProperty, AQuotedWordArrivesWhole) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 150; ++round) {
    const std::string word = RandomBytes(random, 24);
    EXPECT_EQ(Received(localfs::QuoteIfNeeded(word)), std::vector<std::string>{word})
        << "round " << round;
  }
}

TEST_F(ShellWordsProperty, JoinedArgumentsArriveSplitAtBlanksOnly) {
  std::mt19937 random(4096);
  for (int round = 0; round < 150; ++round) {
    std::vector<std::string> arguments{"setup"};
    std::uniform_int_distribution<int> count_of(1, 4);
    for (int count = count_of(random); count > 0; --count)
      arguments.push_back(RandomBytes(random, 16));
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    const std::vector<std::string> passed(arguments.begin() + 1, arguments.end());
    EXPECT_EQ(Received(localfs::JoinArguments(static_cast<int>(arguments.size()), argv.data())),
              SplitAtBlanks(passed))
        << "round " << round;
  }
}

}  // namespace
