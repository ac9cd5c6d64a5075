// Protection of single words for the system shell. Plain words keep their exact text;
// a character the shell would act on never takes effect.
#pragma once

#include <string>

namespace localfs {

// A word holding only letters, digits, bytes of 0x80 and above and _@%+=:,./- (or the
// empty word) is returned unchanged. Any other word is put between double quotes, and
// each ", $, ` and \ inside is preceded by a backslash.
[[nodiscard]] std::string QuoteIfNeeded(std::string word);

// The word between single quotes, each ' inside written as '\''.
[[nodiscard]] std::string SingleQuoted(const std::string& word);

// Arguments 1 to count-1, each followed by one space. Spaces and tabs stay bare, so the
// shell splits the arguments at them; every other special character is neutralised.
[[nodiscard]] std::string JoinArguments(int count, const char* const* vector);

}  // namespace localfs
