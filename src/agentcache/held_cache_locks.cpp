#include "agentcache/held_cache_locks.h"

#include <cstdlib>
#include <tuple>

namespace agentcache {
namespace {

constexpr char kHeldLocksVariable[] = "QX_HELD_AGENT_CACHE_LOCKS";
constexpr char kEntrySeparator = ',';

std::string InheritedList() {
  const char* const list = std::getenv(kHeldLocksVariable);
  return list != nullptr ? list : "";
}

}  // namespace

bool HeldByAncestor(const std::string& lock_identity) {
  if (lock_identity.empty()) return false;
  const std::string list = InheritedList();
  std::string::size_type start = 0;
  while (start <= list.size()) {
    std::string::size_type end = list.find(kEntrySeparator, start);
    if (end == std::string::npos) end = list.size();
    if (list.compare(start, end - start, lock_identity) == 0) return true;
    start = end + 1;
  }
  return false;
}

void AnnounceHeldLock(const std::string& lock_identity) {
  std::string list = InheritedList();
  if (!list.empty()) list += kEntrySeparator;
  list += lock_identity;
  // Without the entry a nested launcher of this release whose agent is stale waits for
  // this run; that is all a failed setenv (out of memory) costs.
  std::ignore = setenv(kHeldLocksVariable, list.c_str(), 1);
}

}  // namespace agentcache
