#include "agent_verify_command.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "agent_key_member.h"
#include "verification/agent_verification.h"
#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace pack {

bool VerifyAgentArchive(const std::string& key_path, const std::string& archive_path,
                        std::string& summary, ErrorSink report) {
  std::string key_text;
  std::vector<verification::PublisherKey> keys;
  if (!ReadSmallTextFile(key_path, "agent key", key_text, report)) {
    return false;
  }
  if (!verification::ParsePublisherKeys(key_text, keys)) {
    report("agent key " + Quoted(key_path) + " is not a public key file");
    return false;
  }
  struct stat status {};
  if (::stat(archive_path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    report("agent archive " + Quoted(archive_path) + " is not a regular file");
    return false;
  }
  verification::SignedBytes signed_bytes;
  if (!verification::HashSignedBytesOfFile(archive_path, signed_bytes)) {
    report(errno != 0 ? WithErrno("cannot read agent archive " + Quoted(archive_path), errno)
                      : "cannot hash agent archive " + Quoted(archive_path));
    return false;
  }
  const verification::AgentVerification verification =
      verification::VerifyAgentSignature(signed_bytes, keys, verification::LauncherRelease());
  if (!verification.verified) {
    report("agent archive " + Quoted(archive_path) + " failed verification - " +
           verification.failure_reason);
    return false;
  }
  summary = "key id: " + verification::KeyIdText(verification.key_id) +
            "\nagent version: " + std::to_string(verification.version) +
            "\nrelease: " + verification.release + "\n";
  return true;
}

}  // namespace pack
