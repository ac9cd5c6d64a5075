// How setup-pack reports a failure: once, where it happens, as one line that names the
// problem. Operations return false (or an empty result) after reporting.
#pragma once

#include <string>

namespace pack {

using ErrorSink = void (*)(const std::string& message);

constexpr char kMessagePrefix[] = "setup-pack: ";

// Writes kMessagePrefix, the message and a newline to standard error.
void ReportToStderr(const std::string& message);

// "'path'": how messages show a file name, so that one with blanks stays readable.
std::string Quoted(const std::string& path);

// The message for a failed system call: the text, ": " and strerror of the error number.
std::string WithErrno(const std::string& text, int error_number);

}  // namespace pack
