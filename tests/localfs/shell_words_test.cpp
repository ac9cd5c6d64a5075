#include "localfs/shell_words.h"

#include <gtest/gtest.h>

namespace {

TEST(QuoteIfNeeded, PlainWordsKeepTheirExactText) {
  for (const char* word :
       {"", "/tmp/qx4Fz9Qa", "/opt/app/setup", "a_b@c%d+e=f:g,h.i/j-k", "caf\xc3\xa9"}) {
    EXPECT_EQ(localfs::QuoteIfNeeded(word), word) << word;
  }
}

TEST(QuoteIfNeeded, BlanksAreDoubleQuotedAndNothingElseChanges) {
  EXPECT_EQ(localfs::QuoteIfNeeded("/home/u/my downloads/setup"), "\"/home/u/my downloads/setup\"");
  EXPECT_EQ(localfs::QuoteIfNeeded("a\tb"), "\"a\tb\"");
}

TEST(QuoteIfNeeded, CharactersThatActInsideDoubleQuotesAreEscaped) {
  EXPECT_EQ(localfs::QuoteIfNeeded("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(localfs::QuoteIfNeeded("$(id)"), "\"\\$(id)\"");
  EXPECT_EQ(localfs::QuoteIfNeeded("`id`"), "\"\\`id\\`\"");
  EXPECT_EQ(localfs::QuoteIfNeeded("a\\b"), "\"a\\\\b\"");
  EXPECT_EQ(localfs::QuoteIfNeeded("a;b'c"), "\"a;b'c\"");
}

TEST(SingleQuoted, EmbeddedSingleQuotesCloseAndReopen) {
  EXPECT_EQ(localfs::SingleQuoted("/a/b"), "'/a/b'");
  EXPECT_EQ(localfs::SingleQuoted("it's"), "'it'\\''s'");
}

TEST(JoinArguments, NothingToJoinBelowTwoArguments) {
  const char* argv[] = {"setup", nullptr};
  EXPECT_EQ(localfs::JoinArguments(1, argv), "");
  EXPECT_EQ(localfs::JoinArguments(0, argv), "");
}

TEST(JoinArguments, EachArgumentIsFollowedByOneSpaceAndBlanksStayBare) {
  const char* argv[] = {"setup", "a", "b c", nullptr};
  EXPECT_EQ(localfs::JoinArguments(3, argv), "a b c ");
}

TEST(JoinArguments, SpecialCharactersAreNeutralised) {
  const char* argv[] = {"setup", "$(x);y|z&", "a\nb", nullptr};
  EXPECT_EQ(localfs::JoinArguments(3, argv), "\\$\\(x\\)\\;y\\|z\\& a'\n'b ");
}

}  // namespace
