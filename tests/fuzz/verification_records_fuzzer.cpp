// Holds the cache's version floors and verification record to their promises: a floors text
// that parses holds no CR, ends with LF, names each key once, and each of its lines is
// "key=", the key's KeyIdText, " version=" and the version in decimal (leading zeros
// aside); a record that parses has a 64-byte token; and whatever parses, written out again
// (key as KeyIdText, version in decimal), parses to the same values.
//
// Input: the text of a record file; both parsers read it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agentcache/verification_records.h"
#include "fuzz_check.h"

namespace {

std::string FloorLine(const agentcache::KeyFloor& floor) {
  return "key=" + verification::KeyIdText(floor.key_id) +
         " version=" + std::to_string(floor.version);
}

void CheckFloors(const std::string& text) {
  std::vector<agentcache::KeyFloor> floors;
  if (!agentcache::ParseVersionFloors(text, floors)) return;
  fuzz::Require(text.find('\r') == std::string::npos && text.back() == '\n' && !floors.empty(),
                "a floors text that parses holds no CR and ends with LF");
  std::string written;
  std::size_t line_start = 0;
  for (std::size_t index = 0; index < floors.size(); ++index) {
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
      fuzz::Require(floors[earlier].key_id != floors[index].key_id, "no key appears twice");
    }
    const std::size_t line_end = text.find('\n', line_start);
    fuzz::Require(line_end != std::string::npos, "each floor has a line of its own");
    std::string line = text.substr(line_start, line_end - line_start);
    const std::size_t digits = line.find(" version=") + 9;
    while (line.size() > digits + 1 && line[digits] == '0') line.erase(digits, 1);
    fuzz::Require(line == FloorLine(floors[index]), "a floor's line shows its key and version");
    line_start = line_end + 1;
    written += FloorLine(floors[index]) + "\n";
  }
  fuzz::Require(line_start == text.size(), "every line of the text is a floor");

  std::vector<agentcache::KeyFloor> again;
  fuzz::Require(agentcache::ParseVersionFloors(written, again) && again.size() == floors.size(),
                "floors written out again parse");
  for (std::size_t index = 0; index < floors.size(); ++index) {
    fuzz::Require(again[index].key_id == floors[index].key_id &&
                      again[index].version == floors[index].version,
                  "floors written out again parse to the same keys and versions");
  }
}

void CheckRecord(const std::string& text) {
  agentcache::VerificationRecord record;
  std::string token;
  if (!agentcache::ParseVerificationRecord(text, record, token)) return;
  fuzz::Require(token.size() == 64, "a record's token is 64 bytes");
  const std::string key_line = "key=" + verification::KeyIdText(record.key_id);
  fuzz::Require(text.compare(0, key_line.size(), key_line) == 0,
                "a record's first line shows its key as KeyIdText does");

  const std::string written =
      key_line + "\nversion=" + std::to_string(record.version) + "\ntoken=" + token + "\n";
  agentcache::VerificationRecord again;
  std::string token_again;
  fuzz::Require(agentcache::ParseVerificationRecord(written, again, token_again),
                "a record written out again parses");
  fuzz::Require(
      again.key_id == record.key_id && again.version == record.version && token_again == token,
      "a record written out again parses to the same key, version and token");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckFloors(text);
  CheckRecord(text);
  return 0;
}
