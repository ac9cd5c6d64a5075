// Where a run may make its work directory, best first, and whether a place keeps a
// directory made in it private to the run.
#pragma once

#include <string>
#include <vector>

namespace localfs {

// $TMPDIR when it holds an absolute path, then /tmp, then the launcher file's own directory
// (left out when that cannot be read). Trailing separators are dropped.
[[nodiscard]] std::vector<std::string> WorkDirectoryPlaces();

// Makes RESOLVED/qxXXXXXX with mkdtemp (mode 0700) and yields its path, where RESOLVED is
// the place resolved without links (ResolvePath). "" when a link on the way belongs to another
// user, when the place is no directory, when mkdtemp fails there, or when someone else could
// rename entries in any directory from / down to the place: each must belong to this user or
// to root and be writable by neither group nor others unless it is sticky. Otherwise the
// private directory could be swapped under the run.
[[nodiscard]] std::string MakePrivateDirectoryIn(const std::string& place);

// True when the file system that holds the path is mounted noexec: programs cannot be
// started from it.
[[nodiscard]] bool IsOnNoexecMount(const std::string& path);

}  // namespace localfs
