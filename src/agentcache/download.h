// Fetches the agent archive over HTTPS when the cached agent is missing or its recorded
// ETag line differs from the server's: a HEAD request, then when needed a GET on the
// same connection. Every failure is reported once through the sink.
#pragma once

#include "agentcache/cache_lock.h"
#include "bootstrap/message_sink.h"

namespace agentcache {

// Downloads from QX_INTERNAL_INSTALL_AGENT_URL when set (even empty), else from the
// release's default URL. true: either the cached agent is current, or the archive file
// holds the new archive and the cached agent directory has been removed.
// The cache lock is to be held shared on entry; an agent that is not current is replaced
// only under the exclusive lock, which is then still held on return. false without a
// message when the run was interrupted while it waited for that lock.
[[nodiscard]] bool DownloadInstallAgent(const char* archive_path, CacheLock& cache_lock,
                                        bootstrap::MessageSink sink);

[[nodiscard]] bool DownloadAgentArchive(const char* url, const char* archive_path,
                                        CacheLock& cache_lock, bootstrap::MessageSink sink);

}  // namespace agentcache
