// Holds the shell protection to its promises for any words, judged by a small model of
// how the system shell reads a command line instead of by a real shell (one shell per
// input would make the run a hundred times slower):
// - QuoteIfNeeded keeps a plain word as it is; any other word comes back between double
//   quotes with each ", $, ` and \ escaped, and reads back as exactly that word;
// - SingleQuoted reads back as exactly the word;
// - JoinArguments reads back as the arguments split at blanks, and nothing else.
//
// Input: the words, separated by NUL bytes (no argument can hold one).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "localfs/shell_words.h"

namespace {

using Words = std::vector<std::string>;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Bytes that mean nothing to the shell anywhere in a word.
bool IsPlainByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || (byte != 0 && std::strchr("_@%+=:,./-", byte) != nullptr);
}

bool IsPlainWord(const std::string& word) {
  for (const char c : word) {
    if (!IsPlainByte(c)) return false;
  }
  return true;
}

// The words the shell makes of a command line, or nothing when the line holds a byte
// that would act (an operator, an expansion, a pattern, a comment, an unquoted newline,
// an unclosed quote). Outside quotes: blanks split words, a backslash takes the next
// byte literally and vanishes together with a newline after it. Between single quotes
// every byte is literal. Between double quotes a backslash escapes $ ` " \ and vanishes
// with a newline, and stays literal before anything else; $ and ` there would act.
std::optional<Words> ReadShellWords(const std::string& line) {
  Words words;
  std::string word;
  bool in_word = false;  // a quoted empty string is a word too
  std::size_t at = 0;
  while (at < line.size()) {
    const char c = line[at++];
    if (IsBlank(c)) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (IsPlainByte(c)) {
      word += c;
      in_word = true;
    } else if (c == '\\') {
      if (at == line.size()) return std::nullopt;
      const char escaped = line[at++];
      if (escaped != '\n') word += escaped;
      in_word = true;
    } else if (c == '\'') {
      const std::size_t close = line.find('\'', at);
      if (close == std::string::npos) return std::nullopt;
      word += line.substr(at, close - at);
      at = close + 1;
      in_word = true;
    } else if (c == '"') {
      for (;;) {
        if (at == line.size()) return std::nullopt;
        const char inner = line[at++];
        if (inner == '"') break;
        if (inner == '$' || inner == '`') return std::nullopt;
        if (inner == '\\' && at < line.size() && std::strchr("$`\"\\\n", line[at]) != nullptr) {
          if (line[at] != '\n') word += line[at];
          ++at;
        } else {
          word += inner;
        }
      }
      in_word = true;
    } else {
      return std::nullopt;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

// The inside of a double-quoted word, unescaped strictly: each ", $, ` and \ must come
// escaped, and a backslash escapes nothing else.
std::optional<std::string> UnescapeStrictly(const std::string& inside) {
  std::string word;
  for (std::size_t at = 0; at < inside.size(); ++at) {
    const char c = inside[at];
    const bool special = std::strchr("\"$`\\", c) != nullptr;
    if (c == '\\' && at + 1 < inside.size() && std::strchr("\"$`\\", inside[at + 1]) != nullptr) {
      word += inside[++at];
    } else if (special) {
      return std::nullopt;
    } else {
      word += c;
    }
  }
  return word;
}

Words SplitAtBlanks(const Words& arguments) {
  Words pieces;
  for (const std::string& argument : arguments) {
    std::string piece;
    for (const char c : argument) {
      if (!IsBlank(c)) {
        piece += c;
      } else if (!piece.empty()) {
        pieces.push_back(piece);
        piece.clear();
      }
    }
    if (!piece.empty()) pieces.push_back(piece);
  }
  return pieces;
}

void CheckQuoteIfNeeded(const std::string& word) {
  const std::string quoted = localfs::QuoteIfNeeded(word);
  if (IsPlainWord(word)) {
    fuzz::Require(quoted == word, "QuoteIfNeeded keeps a plain word unchanged");
    return;
  }
  fuzz::Require(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"',
                "QuoteIfNeeded puts any other word between double quotes");
  fuzz::Require(UnescapeStrictly(quoted.substr(1, quoted.size() - 2)) == word,
                "QuoteIfNeeded escapes each \", $, ` and \\ and nothing else");
  fuzz::Require(ReadShellWords(quoted) == Words{word},
                "the shell reads QuoteIfNeeded's result as the word");
}

void CheckSingleQuoted(const std::string& word) {
  const std::string quoted = localfs::SingleQuoted(word);
  fuzz::Require(quoted.size() >= 2 && quoted.front() == '\'' && quoted.back() == '\'',
                "SingleQuoted puts the word between single quotes");
  fuzz::Require(ReadShellWords(quoted) == Words{word},
                "the shell reads SingleQuoted's result as the word");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Words arguments;
  if (!input.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = input.find('\0', start);
      arguments.push_back(input.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }

  std::vector<const char*> vector{"setup"};
  for (const std::string& argument : arguments) {
    CheckQuoteIfNeeded(argument);
    CheckSingleQuoted(argument);
    vector.push_back(argument.c_str());
  }
  const std::string joined = localfs::JoinArguments(static_cast<int>(vector.size()), vector.data());
  fuzz::Require(ReadShellWords(joined) == SplitAtBlanks(arguments),
                "the shell reads JoinArguments' result as the arguments split at blanks");
  return 0;
}
