// The floor of a warm launcher run: only the steps such a run cannot avoid, and nothing
// else. It makes the work directory, runs the same three shell commands through /bin/sh
// (self-extraction, the agent, the removal) and sends one libcurl HEAD request, so a
// benchmark can tell how much the launcher adds on top. Usage:
//   floor LAUNCHER_FILE AGENT_ENTRY_SCRIPT URL
#include <curl/curl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

// The raw wait status of "/bin/sh -c COMMAND", or -1 when no shell could be started:
// the same way the launcher starts its commands.
int RunShellCommand(const std::string& command) {
  char shell_name[] = "sh";
  char dash_c[] = "-c";
  std::string command_copy = command;
  char* const arguments[] = {shell_name, dash_c, command_copy.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, arguments, environ) != 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// One HEAD request with libcurl's default global initialisation, the body ignored.
bool SendHeadRequest(const char* url) {
  CURL* const handle = curl_easy_init();
  if (handle == nullptr) return false;
  curl_easy_setopt(handle, CURLOPT_URL, url);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  const CURLcode code = curl_easy_perform(handle);
  curl_easy_cleanup(handle);
  return code == CURLE_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string launcher_file = argv[1];
  const std::string entry_script = argv[2];
  char name[] = "/tmp/qxXXXXXX";
  if (mkdtemp(name) == nullptr) return 1;
  const std::string work_directory = name;

  int failures = 0;
  if (RunShellCommand("unzip -qq " + launcher_file + " -d " + work_directory) != 0) ++failures;
  if (!SendHeadRequest(argv[3])) ++failures;
  if (RunShellCommand("sh " + entry_script + " -installbundle " + work_directory + "/bundle.zip") !=
      0) {
    ++failures;
  }
  if (RunShellCommand("rm -rf " + work_directory) != 0) ++failures;
  return failures == 0 ? 0 : 1;
}
