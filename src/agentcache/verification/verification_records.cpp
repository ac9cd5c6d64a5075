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

const char kVersionFloorsName[] = ".agentversionfloors";
const char kVerificationRecordName[] = ".agentverification";
const char kAgentTokenName[] = ".agentverificationtoken";

bool ParseVersionFloors(const std::string& text, std::vector<KeyFloor>& floors) {
  floors.clear();
  if (text.empty() || text.back() != '\n' || text.find('\r') != std::string::npos) return false;
  for (const std::string& line : SplitLines(text)) {
    const std::size_t space = line.find(' ');
    std::string key_id;
    std::string version;
    KeyFloor floor;
    if (space == std::string::npos ||
        !ValueOf(line.substr(0, space), kKeyIdKey, sizeof kKeyIdKey - 1, key_id) ||
        !ValueOf(line.substr(space + 1), kVersionKey, sizeof kVersionKey - 1, version) ||
        !ParseKeyId(key_id, floor.key_id) || !ParseDecimal(version, floor.version)) {
      return false;
    }
    for (const KeyFloor& earlier : floors) {
      if (earlier.key_id == floor.key_id) return false;
    }
    floors.push_back(floor);
  }
  return !floors.empty();
}

RecordRead ReadVersionFloors(const std::string& cache_directory, std::vector<KeyFloor>& floors) {
  floors.clear();
  std::string text;
  const RecordRead read = ReadRecordFile(cache_directory, kVersionFloorsName, text);
  if (read == RecordRead::kRead) {
    return ParseVersionFloors(text, floors) ? RecordRead::kRead : RecordRead::kUnreadable;
  }
  if (read == RecordRead::kUnreadable) return read;
  // Until a floor is written here, the agent last recorded sets the floor of its key.
  VerificationRecord record;
  std::string token;
  if (ReadRecordFile(cache_directory, kVerificationRecordName, text) == RecordRead::kRead &&
      ParseVerificationRecord(text, record, token)) {
    floors.push_back({record.key_id, record.version});
  }
  return RecordRead::kAbsent;
}

std::uint64_t FloorForKeys(const std::vector<KeyFloor>& floors,
                           const std::vector<PublisherKey>& keys) {
  std::uint64_t highest = 0;
  for (const KeyFloor& floor : floors) {
    for (const PublisherKey& key : keys) {
      if (key.key_id == floor.key_id && floor.version > highest) highest = floor.version;
    }
  }
  return highest;
}

bool RaiseVersionFloor(const std::string& cache_directory, const KeyId& key_id,
                       std::uint64_t version) {
  std::vector<KeyFloor> floors;
  if (ReadVersionFloors(cache_directory, floors) == RecordRead::kUnreadable) return false;
  bool found = false;
  for (KeyFloor& floor : floors) {
    if (floor.key_id != key_id) continue;
    if (floor.version >= version) return true;
    floor.version = version;
    found = true;
  }
  if (!found) floors.push_back({key_id, version});
  std::string text;
  for (const KeyFloor& floor : floors) {
    text += std::string(kKeyIdKey) + KeyIdText(floor.key_id) + " " + kVersionKey +
            std::to_string(floor.version) + "\n";
  }
  return WriteRecordFile(cache_directory, kVersionFloorsName, text);
}

bool ParseVerificationRecord(const std::string& text, VerificationRecord& record,
                             std::string& token) {
  const std::vector<std::string> lines = SplitLines(text);
  std::string key_id;
  std::string version;
  return lines.size() == 3 && ValueOf(lines[0], kKeyIdKey, sizeof kKeyIdKey - 1, key_id) &&
         ValueOf(lines[1], kVersionKey, sizeof kVersionKey - 1, version) &&
         ValueOf(lines[2], kTokenKey, sizeof kTokenKey - 1, token) &&
         token.size() == 2 * kTokenBytes && ParseKeyId(key_id, record.key_id) &&
         ParseDecimal(version, record.version);
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
  std::string token;
  if (ReadRecordFile(cache_directory, kVerificationRecordName, text) != RecordRead::kRead ||
      ReadRecordFile(agent_directory, kAgentTokenName, installed_token) != RecordRead::kRead) {
    return false;
  }
  const std::vector<std::string> token_lines = SplitLines(installed_token);
  return ParseVerificationRecord(text, record, token) && token_lines.size() == 1 &&
         token_lines[0] == token;
}

}  // namespace agentcache
