// Creation of directory chains and removal of directory trees.
#pragma once

#include <sys/types.h>
#include <string>

namespace localfs {

// 0 when the path is (or was just asked to become) a directory; -1 with errno ENOTDIR
// when something else is in the way. A mkdir that fails is not reported.
[[nodiscard]] int EnsureDirectory(const std::string& path, mode_t mode);

// Ensures every prefix of the path that ends before a separator, then the whole path.
// Stops at, and returns, the first non-zero result.
int MakeDirectories(std::string path, mode_t mode);

// Runs rm -rf on the path when something exists there; reports nothing.
void RemoveTree(const std::string& path);

}  // namespace localfs
