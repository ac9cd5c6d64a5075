#include "agentcache/partial_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "agentcache/cache_directory.h"
#include "agentcache/verification_records.h"
#include "transfer/response_headers.h"
#include "verification/text_codec.h"

namespace agentcache {

namespace {

constexpr mode_t kPartialMode = 0600;

std::optional<std::uint64_t> Decimal(const std::string& text) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return {};
  std::uint64_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return {};
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return value;
}

std::string PartialPath(const std::string& cache_directory) {
  return base::PathInDirectory(cache_directory, kPartialArchiveName);
}

// The kept file, when it is a regular file of this user's no longer than the whole.
base::OwnedFile OpenKept(const std::string& path, std::uint64_t complete, std::uint64_t& length) {
  const int descriptor = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return base::OwnedFile();
  struct stat entry {};
  if (::fstat(descriptor, &entry) != 0 || !OwnRegularFile(entry) || entry.st_size <= 0 ||
      static_cast<std::uint64_t>(entry.st_size) > complete) {
    ::close(descriptor);
    return base::OwnedFile();
  }
  base::OwnedFile file(::fdopen(descriptor, "r+be"));
  if (!file) {
    ::close(descriptor);
    return file;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return base::OwnedFile();
  length = static_cast<std::uint64_t>(entry.st_size);
  return file;
}

base::OwnedFile OpenFresh(const std::string& path) {
  std::remove(path.c_str());
  const int descriptor =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPartialMode);
  if (descriptor < 0) return base::OwnedFile();
  base::OwnedFile file(::fdopen(descriptor, "w+be"));
  if (!file) ::close(descriptor);
  return file;
}

}  // namespace

std::optional<transfer::ResumeState> ParsePartialRecord(const std::string& text) {
  const std::vector<std::string> lines = verification::SplitLines(text);
  if (lines.size() != 2 || lines[0].rfind("etag=", 0) != 0 || lines[1].rfind("length=", 0) != 0) {
    return {};
  }
  transfer::ResumeState state;
  state.etag = lines[0].substr(5);
  const auto length = Decimal(lines[1].substr(7));
  if (state.etag.empty() || transfer::StrongETag(state.etag) != state.etag || !length ||
      *length == 0) {
    return {};
  }
  state.complete_length = *length;
  return state;
}

std::string PartialRecordText(const transfer::ResumeState& state) {
  return "etag=" + state.etag + "\nlength=" + std::to_string(state.complete_length) + "\n";
}

PartialArchive OpenPartialArchive(const std::string& cache_directory,
                                  const std::string& head_etag) {
  PartialArchive partial;
  partial.path = PartialPath(cache_directory);
  std::string text;
  const bool recorded =
      ReadRecordFile(cache_directory, kPartialRecordName, text) == RecordRead::kRead;
  ForgetPartialRecord(cache_directory);
  const auto kept = recorded ? ParsePartialRecord(text) : std::nullopt;
  if (kept && !head_etag.empty() && kept->etag == transfer::StrongETag(head_etag)) {
    partial.file = OpenKept(partial.path, kept->complete_length, partial.length);
    if (partial.file) {
      partial.resume = *kept;
      return partial;
    }
  }
  partial.length = 0;
  partial.file = OpenFresh(partial.path);
  return partial;
}

void KeepOrRemovePartialArchive(const std::string& cache_directory, std::uint64_t length,
                                const transfer::ResumeState& resume) {
  if (length >= kSmallestKeptPartial && !resume.etag.empty() && resume.complete_length > 0 &&
      WriteRecordFile(cache_directory, kPartialRecordName, PartialRecordText(resume))) {
    return;
  }
  RemovePartialArchive(cache_directory);
}

void RemovePartialArchive(const std::string& cache_directory) {
  ForgetPartialRecord(cache_directory);
  std::remove(PartialPath(cache_directory).c_str());
}

void ForgetPartialRecord(const std::string& cache_directory) {
  std::remove(base::PathInDirectory(cache_directory, kPartialRecordName).c_str());
}

}  // namespace agentcache
