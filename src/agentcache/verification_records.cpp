#include "agentcache/verification_records.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/files.h"
#include "verification/text_codec.h"

namespace agentcache {

namespace {

constexpr off_t kMaxRecordSize = 4096;

}  // namespace

bool WriteRecordFile(const std::string& directory, const std::string& name,
                     const std::string& text) {
  const std::string path = base::PathInDirectory(directory, name);
  base::ReplacementFile record(path, path + ".XXXXXX");
  return record.valid() && base::WriteWhole(record.descriptor(), text) &&
         record.Commit(base::ReplacementFile::Durability::kDurable);
}

RecordRead ReadRecordFile(const std::string& directory, const std::string& name,
                          std::string& text) {
  text.clear();
  const std::string path = base::PathInDirectory(directory, name);
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (descriptor < 0) {
    return errno == ENOENT ? RecordRead::kAbsent : RecordRead::kUnreadable;
  }
  struct stat status {};
  bool read = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
              status.st_uid == ::geteuid() && status.st_size <= kMaxRecordSize;
  std::vector<char> buffer(static_cast<std::size_t>(kMaxRecordSize) + 1);
  ssize_t length = 0;
  while (read && (length = ::read(descriptor, buffer.data(), buffer.size())) < 0 &&
         errno == EINTR) {
  }
  ::close(descriptor);
  // One read of a regular file this small returns all of it; more than the limit is a fault.
  read = read && length >= 0 && length <= kMaxRecordSize;
  if (!read) return RecordRead::kUnreadable;
  text.assign(buffer.data(), static_cast<std::size_t>(length));
  return RecordRead::kRead;
}

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

bool ParseKeyId(const std::string& text, verification::KeyId& key_id) {
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

bool ParseVersionFloors(const std::string& text, std::vector<KeyFloor>& floors) {
  floors.clear();
  if (text.empty() || text.back() != '\n' || text.find('\r') != std::string::npos) return false;
  for (const std::string& line : verification::SplitLines(text)) {
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
                           const std::vector<verification::PublisherKey>& keys) {
  std::uint64_t highest = 0;
  for (const KeyFloor& floor : floors) {
    for (const verification::PublisherKey& key : keys) {
      if (key.key_id == floor.key_id && floor.version > highest) highest = floor.version;
    }
  }
  return highest;
}

bool RaiseVersionFloor(const std::string& cache_directory, const verification::KeyId& key_id,
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
    text += std::string(kKeyIdKey) + verification::KeyIdText(floor.key_id) + " " + kVersionKey +
            std::to_string(floor.version) + "\n";
  }
  return WriteRecordFile(cache_directory, kVersionFloorsName, text);
}

bool ParseVerificationRecord(const std::string& text, VerificationRecord& record,
                             std::string& token) {
  const std::vector<std::string> lines = verification::SplitLines(text);
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
  const std::string text = std::string(kKeyIdKey) + verification::KeyIdText(record.key_id) + "\n" +
                           kVersionKey + std::to_string(record.version) + "\n" + kTokenKey + token +
                           "\n";
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
  const std::vector<std::string> token_lines = verification::SplitLines(installed_token);
  return ParseVerificationRecord(text, record, token) && token_lines.size() == 1 &&
         token_lines[0] == token;
}

}  // namespace agentcache
