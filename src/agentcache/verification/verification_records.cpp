#include "agentcache/verification/verification_records.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "agentcache/verification/text_lines.h"

namespace agentcache {
namespace {

constexpr char kVersionKey[] = "version=";
constexpr char kKeyIdKey[] = "key=";
constexpr char kTokenKey[] = "token=";
constexpr std::size_t kTokenBytes = 32;

std::string HexOf(const unsigned char* bytes, std::size_t length) {
  std::string text;
  char digits[3];
  for (std::size_t index = 0; index < length; ++index) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(bytes[index]));
    text += digits;
  }
  return text;
}

// "key=" and the like followed by the value, nothing else.
bool ValueOf(const std::string& line, const char* key, std::size_t key_length, std::string& value) {
  if (line.compare(0, key_length, key) != 0) return false;
  value = line.substr(key_length);
  return !value.empty();
}

bool ParseDecimal(const std::string& digits, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 19) return false;
  value = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return value <= (std::uint64_t{1} << 63) - 1;
}

bool ParseKeyId(const std::string& text, KeyId& key_id) {
  if (text.size() != 2 * key_id.size()) return false;
  for (std::size_t index = 0; index < key_id.size(); ++index) {
    unsigned value = 0;
    for (std::size_t digit = 0; digit < 2; ++digit) {
      const char character = text[2 * index + digit];
      int nibble = -1;
      if (character >= '0' && character <= '9') nibble = character - '0';
      if (character >= 'A' && character <= 'F') nibble = character - 'A' + 10;
      if (nibble < 0) return false;
      value = value * 16 + static_cast<unsigned>(nibble);
    }
    // KeyIdText shows the last byte first.
    key_id[key_id.size() - 1 - index] = static_cast<unsigned char>(value);
  }
  return true;
}

bool FreshToken(std::string& token) {
  unsigned char bytes[kTokenBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t length = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return false;
    filled += static_cast<std::size_t>(length);
  }
  token = HexOf(bytes, sizeof bytes);
  return true;
}

}  // namespace

const char kVersionFloorName[] = ".agentversionfloor";
const char kVerificationRecordName[] = ".agentverification";
const char kAgentTokenName[] = ".agentverificationtoken";

RecordRead ReadVersionFloor(const std::string& cache_directory, std::uint64_t& floor) {
  std::string text;
  const RecordRead read = ReadRecordFile(cache_directory, kVersionFloorName, text);
  if (read != RecordRead::kRead) return read;
  const std::vector<std::string> lines = SplitLines(text);
  std::string value;
  return lines.size() == 1 && ValueOf(lines[0], kVersionKey, sizeof kVersionKey - 1, value) &&
                 ParseDecimal(value, floor)
             ? RecordRead::kRead
             : RecordRead::kUnreadable;
}

bool RaiseVersionFloor(const std::string& cache_directory, std::uint64_t version) {
  std::uint64_t floor = 0;
  if (ReadVersionFloor(cache_directory, floor) == RecordRead::kRead && floor >= version) {
    return true;
  }
  return WriteRecordFile(cache_directory, kVersionFloorName,
                         std::string(kVersionKey) + std::to_string(version) + "\n");
}

bool RecordVerifiedAgent(const std::string& cache_directory, const std::string& agent_directory,
                         const VerificationRecord& record) {
  std::string token;
  if (!FreshToken(token)) return false;
  const std::string text = std::string(kKeyIdKey) + KeyIdText(record.key_id) + "\n" + kVersionKey +
                           std::to_string(record.version) + "\n" + kTokenKey + token + "\n";
  // The token goes in first: until the record names it, the agent counts as unverified.
  return WriteRecordFile(agent_directory, kAgentTokenName, token + "\n") &&
         WriteRecordFile(cache_directory, kVerificationRecordName, text);
}

bool InstalledAgentRecord(const std::string& cache_directory, const std::string& agent_directory,
                          VerificationRecord& record) {
  std::string text;
  std::string installed_token;
  if (ReadRecordFile(cache_directory, kVerificationRecordName, text) != RecordRead::kRead ||
      ReadRecordFile(agent_directory, kAgentTokenName, installed_token) != RecordRead::kRead) {
    return false;
  }
  const std::vector<std::string> lines = SplitLines(text);
  const std::vector<std::string> token_lines = SplitLines(installed_token);
  std::string key_id;
  std::string version;
  std::string token;
  return lines.size() == 3 && ValueOf(lines[0], kKeyIdKey, sizeof kKeyIdKey - 1, key_id) &&
         ValueOf(lines[1], kVersionKey, sizeof kVersionKey - 1, version) &&
         ValueOf(lines[2], kTokenKey, sizeof kTokenKey - 1, token) &&
         token.size() == 2 * kTokenBytes && token_lines.size() == 1 && token_lines[0] == token &&
         ParseKeyId(key_id, record.key_id) && ParseDecimal(version, record.version);
}

}  // namespace agentcache
