#include "localfs/shell_words.h"

#include <cstring>

namespace localfs {
namespace {

bool IsPlainWordByte(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("_@%+=:,./-", c) != nullptr && c != '\0';
}

bool IsPlainWord(const std::string& word) {
  for (const char c : word) {
    if (!IsPlainWordByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Inside double quotes only these four keep a meaning to the shell.
bool IsSpecialInDoubleQuotes(char c) { return c == '"' || c == '$' || c == '`' || c == '\\'; }

}  // namespace

std::string QuoteIfNeeded(std::string word) {
  if (IsPlainWord(word)) return word;
  std::string quoted;
  quoted.reserve(word.size() + 2);
  quoted += '"';
  for (const char c : word) {
    if (IsSpecialInDoubleQuotes(c)) quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string SingleQuoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string JoinArguments(int count, const char* const* vector) {
  std::string joined;
  for (int index = 1; index < count; ++index) {
    for (const char* p = vector[index]; *p != '\0'; ++p) {
      const char c = *p;
      if (c == ' ' || c == '\t' || IsPlainWordByte(static_cast<unsigned char>(c))) {
        // Blanks stay bare: the shell splits the arguments at them.
        joined += c;
      } else if (c == '\n') {
        // A backslash would join the lines; a quoted newline stays a literal byte.
        joined += "'\n'";
      } else {
        joined += '\\';
        joined += c;
      }
    }
    joined += ' ';
  }
  return joined;
}

}  // namespace localfs
