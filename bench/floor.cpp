// The floor of a warm launcher run: only the steps such a run cannot avoid, and nothing
// else. It makes the work directory, runs the same three shell commands through /bin/sh
// (self-extraction, the agent, the removal) and sends one libcurl HEAD request, so a
// benchmark can tell how much the launcher adds on top. Usage:
//   floor [--no-shell] [--no-tls-init] LAUNCHER_FILE AGENT_ENTRY_SCRIPT URL
// The two options leave out what the launcher may not leave out, to show what that would
// be worth: --no-shell starts the three programs directly instead of through /bin/sh -c,
// --no-tls-init initialises libcurl without its TLS back end.
#include <curl/curl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool use_shell = true;

// The program's path on PATH, found the way a shell finds it, or the name itself.
std::string FindProgram(const std::string& name) {
  const char* const path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/bin:/bin";
  std::string::size_type start = 0;
  while (start <= directories.size()) {
    std::string::size_type end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string candidate = directories.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

// The raw wait status of the program, or -1 when it could not be started.
int Spawn(const std::string& program, std::vector<std::string> words) {
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// "/bin/sh -c 'exec COMMAND'", the way the launcher starts its commands; with --no-shell the
// words of the command started directly (they hold no quoting here).
int RunCommand(const std::vector<std::string>& words) {
  if (!use_shell) return Spawn(FindProgram(words[0]), words);
  std::string command;
  for (const std::string& word : words) command += (command.empty() ? "" : " ") + word;
  return Spawn("/bin/sh", {"sh", "-c", "exec " + command});
}

// One HEAD request, the body ignored.
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
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (std::strcmp(argv[first], "--no-shell") == 0) {
      use_shell = false;
    } else if (std::strcmp(argv[first], "--no-tls-init") == 0) {
      if (curl_global_init(CURL_GLOBAL_NOTHING) != CURLE_OK) return 1;
    } else {
      return 2;
    }
  }
  if (argc - first != 3) return 2;
  const std::string launcher_file = argv[first];
  const std::string entry_script = argv[first + 1];
  char name[] = "/tmp/qxXXXXXX";
  if (mkdtemp(name) == nullptr) return 1;
  const std::string work_directory = name;

  int failures = 0;
  if (RunCommand({"unzip", "-qq", launcher_file, "-d", work_directory}) != 0) ++failures;
  if (!SendHeadRequest(argv[first + 2])) ++failures;
  if (RunCommand({"sh", entry_script, "-installbundle", work_directory + "/bundle.zip"}) != 0) {
    ++failures;
  }
  if (RunCommand({"rm", "-rf", work_directory}) != 0) ++failures;
  return failures == 0 ? 0 : 1;
}
