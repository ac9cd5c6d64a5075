#include "common/scratch_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

ScratchDirectory::ScratchDirectory() {
  char name[] = "/tmp/setup-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

ScratchDirectory::~ScratchDirectory() {
  // Make everything removable again (tests take permissions away), then remove it.
  const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0) {
    // Nothing to do: a leftover directory under /tmp is harmless to the result.
  }
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out || chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    // A missing file must not pass for an empty one.
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::string& path) {
  struct stat entry {};
  return lstat(path.c_str(), &entry) == 0;
}

namespace {
std::string PrependToPath(const std::string& directory) {
  const char* old = std::getenv("PATH");
  return directory + ":" + (old != nullptr ? old : "/usr/bin:/bin");
}
}  // namespace

FakeTool::FakeTool(const ScratchDirectory& directory, const std::string& name,
                   const std::string& script)
    : path_("PATH", PrependToPath(directory.path())) {
  WriteFile(directory / name, "#!/bin/sh\n" + script + "\n", 0755);
}

}  // namespace testing_support
