// The surroundings of every agent cache test: a fresh scratch directory with HOME inside
// it, no proxy variables and no download URL override, and a sink that records messages.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/scratch_directory.h"

namespace agentcache_test {

inline std::vector<std::string>& RecordedMessages() {
  static std::vector<std::string> messages;
  return messages;
}

// Every message of the launcher is an error; one that is not shows up marked.
inline void RecordMessage(const std::string& text, bool is_error) {
  RecordedMessages().push_back(is_error ? text : "(not flagged as error) " + text);
}

class IsolatedHome {
 public:
  IsolatedHome() {
    for (const char* variable :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "no_proxy", "NO_PROXY", "QX_INTERNAL_INSTALL_AGENT_URL"}) {
      cleared_.push_back(
          std::make_unique<testing_support::ScopedEnvironment>(variable, std::nullopt));
    }
    RecordedMessages().clear();
  }

  [[nodiscard]] const testing_support::ScratchDirectory& scratch() const { return scratch_; }
  [[nodiscard]] std::string home() const { return scratch_ / "home"; }
  // The agent cache directory for this HOME, ending in a separator.
  [[nodiscard]] std::string cache() const {
    return home() + "/.quenth/app_installer_cache/Q4096c/oslin64/";
  }

 private:
  testing_support::ScratchDirectory scratch_;
  testing_support::ScopedEnvironment home_{"HOME", scratch_ / "home"};
  std::vector<std::unique_ptr<testing_support::ScopedEnvironment>> cleared_;
};

}  // namespace agentcache_test
