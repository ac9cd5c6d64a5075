// A download cut in one run, kept in the cache for the next: "InstallAgent.zip.partial" (mode
// 0600) holds the bytes received, and "InstallAgent.zip.partial.record" the strong ETag of the
// response they came from and that response's complete length, written atomically. The next
// run continues it when its HEAD offers that very tag; any other tag, a weak one, or a record
// that cannot be read removes it. Only a run that holds the cache's exclusive lock opens,
// keeps or removes it, so no two runs ever write one partial. Removing both files is always
// safe: the next run starts from the first byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/files.h"
#include "transfer/retries.h"

namespace agentcache {

inline constexpr char kPartialArchiveName[] = "InstallAgent.zip.partial";
inline constexpr char kPartialRecordName[] = "InstallAgent.zip.partial.record";

// A part this small is not worth keeping: fetching it again costs less than trusting it.
inline constexpr std::uint64_t kSmallestKeptPartial = 1024 * 1024;

// "etag=TAG\nlength=N\n", with TAG a strong tag and N above 0; nothing for any other text.
[[nodiscard]] std::optional<transfer::ResumeState> ParsePartialRecord(const std::string& text);
[[nodiscard]] std::string PartialRecordText(const transfer::ResumeState& state);

struct PartialArchive {
  base::OwnedFile file;  // open for reading and writing, positioned at its end
  std::string path;
  std::uint64_t length = 0;      // the bytes it holds
  transfer::ResumeState resume;  // what they are part of; empty tag for a fresh file
};

// The partial archive for this run's GET of the archive whose strong tag the HEAD gave
// (head_etag, the header's value): the kept one when its record names that tag and it is no
// longer than the length recorded, else a fresh empty file in its place. Its record is
// removed either way, so a run killed during the GET leaves a partial that the next run
// discards. A file that cannot be opened gives no file.
[[nodiscard]] PartialArchive OpenPartialArchive(const std::string& cache_directory,
                                                const std::string& head_etag);

// At the end of a GET that did not complete: the bytes are kept with their record when they
// came with a strong tag and a length and are at least kSmallestKeptPartial, else removed.
void KeepOrRemovePartialArchive(const std::string& cache_directory, std::uint64_t length,
                                const transfer::ResumeState& resume);

// Removes the partial archive and its record, whatever they hold.
void RemovePartialArchive(const std::string& cache_directory);

// Removes only the record: the file is whole, and now the archive to check.
void ForgetPartialRecord(const std::string& cache_directory);

}  // namespace agentcache
