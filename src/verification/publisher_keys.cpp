#include "verification/publisher_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "base/launcher_members.h"
#include "verification/text_codec.h"

namespace verification {

namespace {

constexpr char kUntrustedCommentPrefix[] = "untrusted comment: ";
constexpr std::size_t kKeyBytes = 2 + 8 + 32;
// A few keys take a few hundred bytes; a member far larger is no key file.
constexpr off_t kMaxKeyMemberSize = 64 * 1024;

bool ParseKeyLine(const std::string& line, PublisherKey& key) {
  std::vector<unsigned char> bytes;
  if (!DecodeBase64(line, bytes) || bytes.size() != kKeyBytes || bytes[0] != 'E' ||
      bytes[1] != 'd') {
    return false;
  }
  std::copy(bytes.begin() + 2, bytes.begin() + 10, key.key_id.begin());
  std::copy(bytes.begin() + 10, bytes.end(), key.public_key.begin());
  return true;
}

bool ReadSmallFile(int descriptor, std::string& text) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > kMaxKeyMemberSize) {
    return false;
  }
  text.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return false;
    if (length == 0) return true;
    text.append(buffer, static_cast<std::size_t>(length));
    if (text.size() > static_cast<std::size_t>(kMaxKeyMemberSize)) return false;
  }
}

}  // namespace

bool ParsePublisherKeys(const std::string& text, std::vector<PublisherKey>& keys) {
  keys.clear();
  const std::vector<std::string> lines = SplitLines(text);
  for (std::size_t index = 0; index < lines.size(); ++index) {
    if (lines[index].empty()) {
      continue;
    }
    if (lines[index].compare(0, sizeof kUntrustedCommentPrefix - 1, kUntrustedCommentPrefix) != 0 ||
        index + 1 >= lines.size()) {
      return false;
    }
    PublisherKey key;
    if (!ParseKeyLine(lines[++index], key)) {
      return false;
    }
    keys.push_back(key);
  }
  return !keys.empty();
}

std::string KeyIdText(const KeyId& key_id) {
  std::string text;
  char digits[3];
  for (std::size_t index = key_id.size(); index-- > 0;) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(key_id[index]));
    text += digits;
  }
  return text;
}

PublisherKeysStatus ReadPublisherKeys(const std::string& work_directory,
                                      std::vector<PublisherKey>& keys) {
  keys.clear();
  std::string path = work_directory;
  if (!path.empty() && path.back() != '/') path += '/';
  path += base::kPublisherKeyMemberName;
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (descriptor < 0) {
    return errno == ENOENT ? PublisherKeysStatus::kAbsent : PublisherKeysStatus::kUnreadable;
  }
  std::string text;
  const bool read = ReadSmallFile(descriptor, text);
  ::close(descriptor);
  return read && ParsePublisherKeys(text, keys) ? PublisherKeysStatus::kRead
                                                : PublisherKeysStatus::kUnreadable;
}

void ReportUnreadablePublisherKey(base::MessageSink sink) {
  sink(
      "Internal Error: The publisher's key in this launcher file cannot be read.\n\n"
      "Please contact the publisher.",
      true);
}

}  // namespace verification
