// Test helpers: a fresh private directory removed with its contents at the end of a
// test, small file helpers, and a scoped environment variable.
#pragma once

#include <optional>
#include <string>

namespace testing_support {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) a variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
// The whole file; one that cannot be opened fails the running test (and reads as "").
[[nodiscard]] std::string ReadFile(const std::string& path);
[[nodiscard]] bool Exists(const std::string& path);

// Puts an executable script NAME in DIRECTORY and that directory first on PATH, so the
// launcher's commands find it instead of the real tool.
class FakeTool {
 public:
  FakeTool(const ScratchDirectory& directory, const std::string& name, const std::string& script);

 private:
  ScopedEnvironment path_;
};

}  // namespace testing_support
