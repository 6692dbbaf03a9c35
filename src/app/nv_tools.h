// The NV file as a person reads and mends it: every record with its item,
// status and data as text or as JSON, the differences between two files,
// and a table made back from its JSON. The files are the 98,600-byte NV
// backups, read and written whole; anything else is refused with a reason.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/nv_backup.h"

namespace quorrel {

// "ok" (0), "inactive" (5), "no answer" (0xFFFF), "other".
std::string_view NvStatusName(uint16_t status);

// The table in a file of exactly 98,600 bytes; otherwise nullopt and the
// reason in *error.
std::optional<NvTable> LoadNvFile(std::string_view path, std::string* error);
// Writes the table next to path under a temporary name and renames it over
// path, so that path holds either its old content or the whole new table.
bool SaveNvFile(std::string_view path, const NvTable& table, std::string* error);

// One record as dump shows it: index, item, status with its name, data in
// lower-case hexadecimal.
std::string NvRecordText(size_t index, const NvRecord& record);
// Every record, then the summary of the listed items (up to the end marker):
// how many were read, inactive, and without an answer.
std::string NvDumpText(const NvTable& table);
// One JSON array of 725 objects
// {"record", "item", "status", "status_name", "data"} in file order.
std::string NvDumpJson(const NvTable& table);
// The reverse of NvDumpJson: exactly 725 objects, record numbers in order,
// items and statuses in 0..65535 (statuses those of the NV store), data of
// exactly 128 bytes in hexadecimal. nullopt with the first problem otherwise.
std::optional<NvTable> NvTableFromJson(std::string_view json, std::string* error);

// One line per record whose item, status or data differ, naming its index
// and item; empty when the tables are equal.
std::vector<std::string> NvDifferences(const NvTable& a, const NvTable& b);

}  // namespace quorrel
