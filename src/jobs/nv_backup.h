// NV backup and restore: the fixed list of NV items a line saves before a
// download, the 98,600-byte NV file that holds them, the operations that
// read them from the phone into the file and write them back, the
// stand-alone backup and restore tasks of line modes 3 and 4, and the
// command that chooses the NV directory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "jobs/job_environment.h"
#include "link/records.h"

namespace quorrel {

// Item numbers from this value on end a table.
inline constexpr uint16_t kNvEndItem = 9999;

// One saved NV item, 136 bytes little-endian:
// item (2), reserved (2), data (128), status (2), reserved (2).
struct NvRecord {
  static constexpr size_t kSize = 136;

  uint16_t item = 0;
  std::array<uint8_t, kNvDataSize> data{};
  // NV status of the read at backup time; 0: data valid; 0xFFFF: no answer.
  uint16_t status = 0;

  void StoreTo(std::span<uint8_t, kSize> out) const;
  // The reserved bytes are ignored.
  void LoadFrom(std::span<const uint8_t, kSize> in);

  bool operator==(const NvRecord&) const = default;
};

// The working table of one operation and the whole content of an NV file.
struct NvTable {
  static constexpr size_t kRecords = 725;
  static constexpr size_t kFileSize = kRecords * NvRecord::kSize;  // 98,600

  std::array<NvRecord, kRecords> records{};

  void StoreTo(std::span<uint8_t, kFileSize> out) const;
  void LoadFrom(std::span<const uint8_t, kFileSize> in);
};

// The items a backup saves, in record order, ending with 9999 (714 entries).
inline constexpr size_t kNvBackupItemCount = 714;
extern const std::array<uint16_t, kNvBackupItemCount> NvBackupItems;

// The table a backup starts from: the listed items, zero data and status;
// records after the end marker all zero.
NvTable BuildBackupTable();

// The folder, beside the line NV files, that keeps a copy of every backup
// named by the modem's ESN and the time: "<ESN>-<YYYYMMDD>-<HHMMSS>.nvm".
inline constexpr char kNvArchiveFolder[] = "archive";

// Reads every listed item from the line's phone and writes the table to the
// NV file at path (a Windows path). 1 when the file was written. 0 when it
// was not: the file could not be written, or the backup failed because no
// item could be read or an item got no valid answer (status 0xFFFF) after
// its attempts. A failed backup leaves an earlier file at path as it was and
// says which items failed in a status line and in the link's lastError. An
// item that the phone answers with a status (not active, a refusal) keeps
// that status and zero data, and is not restored later.
int BackupNv(JobEnvironment& env, int line, std::string_view path);
// Reads the table from the NV file at path and writes its valid records to
// the phone. 1 on success; 0 when the file is missing or not 98,600 bytes,
// or an item could not be written. It writes into whatever modem answers:
// the callers check first that it is the modem the file belongs to.
int RestoreNv(JobEnvironment& env, int line, std::string_view path);

// The table of the NV file at path; nothing when it cannot be read or is not
// exactly one table. Nothing is shown.
std::optional<NvTable> ReadNvTable(std::string_view path);

// How the stand-alone restore ended.
enum class NvRestoreResult {
  Restored,    // the items were written (or option 0: nothing to do)
  Failed,      // the file, the modem or a write failed
  OtherModem,  // the modem attached is not the one the NV file was saved
               // from: nothing was written
};

// The bodies of the line mode 3 and 4 tasks, for the given line (0-7). With
// NV option 1 or 2 the restore first checks that the modem attached is the
// one the line's NV file was saved from (modem_identity.h), unless the
// document says to write into another modem on purpose.
void RunNvBackupJob(JobEnvironment& env, int line);
NvRestoreResult RunNvRestoreJob(JobEnvironment& env, int line);

// Command 1121 ("nv bakup path"): the folder browser; a chosen folder
// becomes every line's NV directory and NV file. Edit 1122 then shows line
// 1's NV directory.
void ChooseNvDirectory(JobEnvironment& env);

}  // namespace quorrel
