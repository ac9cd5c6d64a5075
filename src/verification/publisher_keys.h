// The publisher's Ed25519 keys that a launcher file carries as its member "InstallAgent.pub":
// one or more public key files one after another, each an "untrusted comment: " line and the
// base64 of "Ed", an 8-byte key id and the 32-byte key. Parsing is all or nothing.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/message_sink.h"

namespace verification {

using KeyId = std::array<unsigned char, 8>;

struct PublisherKey {
  KeyId key_id{};
  std::array<unsigned char, 32> public_key{};
};

// false when the text holds no key, or anything but keys and blank lines.
[[nodiscard]] bool ParsePublisherKeys(const std::string& text, std::vector<PublisherKey>& keys);

// The key id as the key's own comment line shows it: the 8 bytes read as a little-endian
// number, in 16 upper-case hex digits.
[[nodiscard]] std::string KeyIdText(const KeyId& key_id);

enum class PublisherKeysStatus {
  kAbsent,      // the launcher file has no key member: nothing is verified, as before keys
  kRead,        // `keys` holds at least one key
  kUnreadable,  // present, but not a readable regular file of keys
};

// Reads the key member that self-extraction left in the work directory.
[[nodiscard]] PublisherKeysStatus ReadPublisherKeys(const std::string& work_directory,
                                                    std::vector<PublisherKey>& keys);

// Reports, as one message, that the key member cannot be read: the run stops before any request.
void ReportUnreadablePublisherKey(base::MessageSink sink);

}  // namespace verification
