// QX_HELD_AGENT_CACHE_LOCKS: the agent cache locks that the launchers which started this
// one hold until their agents end, each the lock file's "<st_dev>:<st_ino>" in decimal,
// separated by commas. A launcher run by such an agent must never wait for a lock its
// ancestor holds: the ancestor waits for it in turn.
#pragma once

#include <string>

namespace agentcache {

// true when the lock file of this identity is in the inherited list.
[[nodiscard]] bool HeldByAncestor(const std::string& lock_identity);

// Appends the lock this run holds to the list, which the agent inherits with the entries of
// launchers of other releases further up kept.
void AnnounceHeldLock(const std::string& lock_identity);

}  // namespace agentcache
