#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <random>

#include "agentcache/verification_records.h"
#include "common/scratch_directory.h"
#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace {

using agentcache::RecordRead;
using testing_support::ReadFile;
using testing_support::ScratchDirectory;
using testing_support::WriteFile;

// A body with a ZIP end record and comment at its end, and the BLAKE2b-512 of its signed bytes
// computed in one piece.
struct SignedBody {
  std::string bytes;
  std::array<unsigned char, 64> digest{};
};

SignedBody MakeBody(std::size_t body_size, const std::string& comment) {
  SignedBody body;
  std::mt19937 random(7);
  for (std::size_t index = 0; index < body_size; ++index) {
    body.bytes += static_cast<char>(random() % 200);  // no "PK\5\6" can arise
  }
  body.bytes += std::string("PK\5\6", 4) + std::string(16, '\1');
  const std::string signed_bytes = body.bytes + std::string(2, '\0');
  body.bytes += static_cast<char>(comment.size() & 0xFF);
  body.bytes += static_cast<char>(comment.size() >> 8);
  body.bytes += comment;
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(signed_bytes.data(), signed_bytes.size(), body.digest.data(), &length,
                       EVP_blake2b512(), nullptr),
            1);
  return body;
}

TEST(SignedBytesHasherTest, AnyPiecesGiveTheDigestOfTheWholeAndTheComment) {
  const std::string comment(300, 'c');
  for (const std::size_t body_size : {std::size_t{10}, std::size_t{300000}}) {
    const SignedBody body = MakeBody(body_size, comment);
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{4093}, std::size_t{65557}, std::size_t{1} << 20}) {
      if (piece == 1 && body_size > 10) continue;  // the small body covers it
      verification::SignedBytesHasher hasher;
      for (std::size_t at = 0; at < body.bytes.size(); at += piece) {
        hasher.Feed(body.bytes.data() + at, std::min(piece, body.bytes.size() - at));
      }
      verification::SignedBytes result;
      ASSERT_TRUE(hasher.Finish(result));
      EXPECT_EQ(result.end_record, verification::EndRecordLocation::Status::kFound);
      EXPECT_EQ(result.digest, body.digest) << body_size << " bytes in pieces of " << piece;
      EXPECT_EQ(result.comment, comment);
    }
  }
}

TEST(SignedBytesHasherTest, TellsAMissingEndRecordFromAMisfitComment) {
  SignedBody body = MakeBody(1000, "sig");
  body.bytes.pop_back();
  verification::SignedBytesHasher misfit;
  misfit.Feed(body.bytes.data(), body.bytes.size());
  verification::SignedBytes result;
  ASSERT_TRUE(misfit.Finish(result));
  EXPECT_EQ(result.end_record, verification::EndRecordLocation::Status::kCommentLengthMismatch);

  verification::SignedBytesHasher none;
  none.Feed(body.bytes.data(), 1000);
  ASSERT_TRUE(none.Finish(result));
  EXPECT_EQ(result.end_record, verification::EndRecordLocation::Status::kNoEndRecord);
}

// After the cut the file is the signed bytes themselves: what the digest covered is all that
// unzip can read, whatever the comment held.
TEST(SignedBytesHasherTest, TheCutLeavesExactlyTheSignedBytes) {
  const ScratchDirectory scratch;
  const std::string hidden = "untrusted comment: " + std::string("PK\5\6", 4) + "...";
  const SignedBody body = MakeBody(70000, hidden + "\nmore lines\n");
  WriteFile(scratch / "archive.zip", body.bytes);
  verification::SignedBytes signed_bytes;
  ASSERT_TRUE(verification::HashSignedBytesOfFile(scratch / "archive.zip", signed_bytes));
  ASSERT_TRUE(verification::CutToSignedBytes(scratch / "archive.zip", signed_bytes));
  const std::string cut = ReadFile(scratch / "archive.zip");
  EXPECT_EQ(cut, body.bytes.substr(0, 70000 + 20) + std::string(2, '\0'));
  verification::SignedBytes again;
  ASSERT_TRUE(verification::HashSignedBytesOfFile(scratch / "archive.zip", again));
  EXPECT_EQ(again.digest, body.digest);
  EXPECT_EQ(again.comment, "");

  // A file that is no longer the one hashed is left alone.
  WriteFile(scratch / "archive.zip", body.bytes + "x");
  EXPECT_FALSE(verification::CutToSignedBytes(scratch / "archive.zip", signed_bytes));
  EXPECT_EQ(ReadFile(scratch / "archive.zip"), body.bytes + "x");
}

TEST(PublisherKeysTest, AnAbsentMemberIsNoErrorAndABrokenOneIs) {
  const ScratchDirectory work;
  std::vector<verification::PublisherKey> keys;
  EXPECT_EQ(verification::ReadPublisherKeys(work.path(), keys),
            verification::PublisherKeysStatus::kAbsent);
  WriteFile(work / "InstallAgent.pub", "untrusted comment: key\nRWQAnDk6KbmRDBn2\n");
  EXPECT_EQ(verification::ReadPublisherKeys(work.path(), keys),
            verification::PublisherKeysStatus::kUnreadable);
}

class VerificationRecordsTest : public ::testing::Test {
 protected:
  std::string cache() const { return scratch_.path() + "/"; }
  std::string agent() const { return scratch_ / "installagent"; }
  void SetUp() override { ASSERT_EQ(::mkdir(agent().c_str(), 0700), 0); }

  ScratchDirectory scratch_;
};

TEST_F(VerificationRecordsTest, EachKeysFloorIsOnlyEverRaisedAndOnlyTrustedKeysCount) {
  const verification::KeyId retired = {1, 1, 1, 1, 1, 1, 1, 1};
  const verification::KeyId current = {2, 2, 2, 2, 2, 2, 2, 0xAB};
  std::vector<agentcache::KeyFloor> floors;
  EXPECT_EQ(agentcache::ReadVersionFloors(cache(), floors), RecordRead::kAbsent);
  ASSERT_TRUE(agentcache::RaiseVersionFloor(cache(), retired, 9223372036854775807u));
  ASSERT_TRUE(agentcache::RaiseVersionFloor(cache(), current, 5));
  ASSERT_TRUE(agentcache::RaiseVersionFloor(cache(), current, 4));
  ASSERT_EQ(agentcache::ReadVersionFloors(cache(), floors), RecordRead::kRead);
  verification::PublisherKey trusted;
  trusted.key_id = current;
  EXPECT_EQ(agentcache::FloorForKeys(floors, {trusted}), 5u)
      << "the retired key's floor is ignored";
  EXPECT_EQ(ReadFile(scratch_ / ".agentversionfloors"),
            "key=0101010101010101 version=9223372036854775807\nkey=AB02020202020202 version=5\n");
  struct stat status {};
  ASSERT_EQ(::stat((scratch_ / ".agentversionfloors").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_NE(::stat((scratch_ / ".agentversionfloor").c_str(), &status), 0);

  for (const char* damaged :
       {"key=AB02020202020202 version=5", "key=AB02020202020202 version=5\r\n",
        "key=AB02020202020202  version=5\n", "",
        "key=AB02020202020202 version=5\nkey=AB02020202020202 version=6\n"}) {
    WriteFile(scratch_ / ".agentversionfloors", damaged);
    EXPECT_EQ(agentcache::ReadVersionFloors(cache(), floors), RecordRead::kUnreadable) << damaged;
    EXPECT_FALSE(agentcache::RaiseVersionFloor(cache(), current, 6)) << damaged;
  }
}

TEST_F(VerificationRecordsTest, WithoutFloorsTheRecordedAgentSetsItsKeysFloor) {
  agentcache::VerificationRecord written;
  written.key_id = {3, 3, 3, 3, 3, 3, 3, 3};
  written.version = 20;
  ASSERT_TRUE(agentcache::RecordVerifiedAgent(cache(), agent(), written));
  std::vector<agentcache::KeyFloor> floors;
  EXPECT_EQ(agentcache::ReadVersionFloors(cache(), floors), RecordRead::kAbsent);
  verification::PublisherKey key;
  key.key_id = written.key_id;
  EXPECT_EQ(agentcache::FloorForKeys(floors, {key}), 20u);
  // Raising another key's floor keeps the recorded one.
  ASSERT_TRUE(agentcache::RaiseVersionFloor(cache(), {4, 4, 4, 4, 4, 4, 4, 4}, 1));
  ASSERT_EQ(agentcache::ReadVersionFloors(cache(), floors), RecordRead::kRead);
  EXPECT_EQ(agentcache::FloorForKeys(floors, {key}), 20u);
}

TEST_F(VerificationRecordsTest, TheRecordHoldsOnlyForTheInstallationItsTokenIsIn) {
  agentcache::VerificationRecord written;
  written.key_id = {1, 2, 3, 4, 5, 6, 7, 0xFE};
  written.version = 9;
  ASSERT_TRUE(agentcache::RecordVerifiedAgent(cache(), agent(), written));
  agentcache::VerificationRecord read;
  ASSERT_TRUE(agentcache::InstalledAgentRecord(cache(), agent(), read));
  EXPECT_EQ(read.key_id, written.key_id);
  EXPECT_EQ(read.version, 9u);

  // An archive unpacked over it brings a token file of its own.
  WriteFile(agent() + "/.agentverificationtoken", std::string(64, 'a') + "\n", 0600);
  EXPECT_FALSE(agentcache::InstalledAgentRecord(cache(), agent(), read));
  ASSERT_EQ(::unlink((agent() + "/.agentverificationtoken").c_str()), 0);
  EXPECT_FALSE(agentcache::InstalledAgentRecord(cache(), agent(), read));
}

}  // namespace
