// The record every job ends with, as data: which modem (place, serial, ESN,
// IMEI), what it carried before and after, its NV backup and how the job
// ended. Appended as one JSON line to results.jsonl in the user's state
// folder, and sent to the journal when the program runs under systemd.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorrel {

struct JobRecord {
  std::string started;  // UTC, ISO 8601 ("2026-12-10T01:40:17Z")
  std::string ended;
  int line = 1;         // 1-8
  std::string job;      // download, backup-nv, restore-nv, repair
  std::string usbPath;  // where the modem is attached; empty when unknown
  std::string usbSerial;
  std::optional<uint32_t> esn;
  std::optional<std::string> imei;  // from item 550 of the NV backup
  std::string versionBefore;
  std::string versionAfter;
  std::string nvFile;  // the NV backup the job made or used; empty: none
  std::optional<std::string> nvSha256;
  std::string outcome;  // success, failed, not-started, other-modem, modem-lost
  int exitCode = 0;
  std::string lastError;  // empty on success
};

// The time now as records carry it.
std::string RecordTimeNow();

// Reads the NV file once the job is over: its digest and the IMEI held in
// its item 550 (none when the file or the item is missing or blank).
void DescribeNvFile(JobRecord& record, const std::string& nvFile);

// The line's NV file as it was when a job started, to tell when the job is
// over whether it wrote the file.
struct NvFileMark {
  std::string path;
  std::optional<std::filesystem::file_time_type> written;  // none: no file then
  std::filesystem::file_time_type markedAt;
};
NvFileMark MarkNvFile(const std::string& nvFile);

// Whether nvFile was written since the mark: made, or written again. The
// kernel stamps files from a coarser clock than the one a program reads, so
// a file written just after the mark can carry an earlier time: the file's
// own time before and after is compared, not the mark's time. A file of
// another path (the NV folder changed meanwhile) counts from a little
// before the mark.
bool WrittenSince(const NvFileMark& mark, const std::string& nvFile);

// One line of JSON, no line feed; absent values are null.
std::string JobRecordJson(const JobRecord& record);

// The journal's fields for the record (QUORREL_* and MESSAGE).
std::vector<std::pair<std::string, std::string>> JobRecordJournalFields(const JobRecord& record);

// Appends the record as a line to <folder>/results.jsonl (made when
// missing), in one write so that stations writing at once never interleave
// their lines. False, with the reason in *error, when it cannot.
bool AppendJobRecord(const std::string& folder, const JobRecord& record,
                     std::string* error = nullptr);

// Appends the record to the user's results.jsonl and, under systemd, sends
// it to the journal; the file's path goes to *path. False when the file
// could not be written.
bool KeepJobRecord(const JobRecord& record, std::string* path = nullptr,
                   std::string* error = nullptr);

}  // namespace quorrel
