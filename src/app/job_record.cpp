#include "app/job_record.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "jobs/modem_identity.h"
#include "jobs/nv_backup.h"
#include "platform/journal.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/user_folders.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr char kResultsFile[] = "results.jsonl";

std::mutex& AppendMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string RecordTimeNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
}

void DescribeNvFile(JobRecord& record, const std::string& nvFile) {
  record.nvFile = nvFile;
  record.nvSha256.reset();
  record.imei.reset();
  if (nvFile.empty()) return;
  record.nvSha256 = Sha256OfFile(nvFile);
  if (!record.nvSha256) return;
  if (std::optional<NvTable> table = ReadNvTable(nvFile)) {
    const ModemIdentity identity = IdentityInTable(*table, std::nullopt);
    if (StateOf(identity.item550) == ItemState::Value)
      record.imei = ImeiDigits(identity.item550.data);
  }
}

NvFileMark MarkNvFile(const std::string& nvFile) {
  NvFileMark mark;
  mark.path = nvFile;
  mark.markedAt = std::filesystem::file_time_type::clock::now();
  std::error_code ec;
  if (!nvFile.empty()) {
    const auto written = std::filesystem::last_write_time(MapPath(nvFile), ec);
    if (!ec) mark.written = written;
  }
  return mark;
}

bool WrittenSince(const NvFileMark& mark, const std::string& nvFile) {
  if (nvFile.empty()) return false;
  std::error_code ec;
  const auto written = std::filesystem::last_write_time(MapPath(nvFile), ec);
  if (ec) return false;
  if (nvFile == mark.path) return !mark.written || written != *mark.written;
  // Some file systems keep times to 2 s.
  return written + std::chrono::seconds(2) >= mark.markedAt;
}

std::string JobRecordJson(const JobRecord& r) {
  auto optional = [](const auto& value) -> nlohmann::json {
    if (!value) return nullptr;
    return *value;
  };
  nlohmann::json j = {
      {"started", r.started},
      {"ended", r.ended},
      {"line", r.line},
      {"job", r.job},
      {"usb_path", r.usbPath.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.usbPath)},
      {"usb_serial", r.usbSerial.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.usbSerial)},
      {"esn", r.esn ? nlohmann::json(Format("%08X", *r.esn)) : nlohmann::json(nullptr)},
      {"imei", optional(r.imei)},
      {"version_before", r.versionBefore},
      {"version_after", r.versionAfter},
      {"nv_file", r.nvFile.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.nvFile)},
      {"nv_sha256", optional(r.nvSha256)},
      {"outcome", r.outcome},
      {"exit_code", r.exitCode},
      {"last_error", r.lastError},
  };
  // Texts from a modem or a file are not always UTF-8: replaced, never refused.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::pair<std::string, std::string>> JobRecordJournalFields(const JobRecord& r) {
  std::vector<std::pair<std::string, std::string>> f;
  f.emplace_back("MESSAGE",
                 Format("quorrel: line %d: %s %s%s%s", r.line, r.job.c_str(), r.outcome.c_str(),
                        r.lastError.empty() ? "" : ": ", r.lastError.c_str()));
  f.emplace_back("PRIORITY", r.outcome == "success" ? "6" : "3");
  f.emplace_back("QUORREL_LINE", std::to_string(r.line));
  f.emplace_back("QUORREL_JOB", r.job);
  f.emplace_back("QUORREL_OUTCOME", r.outcome);
  f.emplace_back("QUORREL_EXIT_CODE", std::to_string(r.exitCode));
  f.emplace_back("QUORREL_STARTED", r.started);
  f.emplace_back("QUORREL_ENDED", r.ended);
  if (!r.usbPath.empty()) f.emplace_back("QUORREL_USB_PATH", r.usbPath);
  if (!r.usbSerial.empty()) f.emplace_back("QUORREL_USB_SERIAL", r.usbSerial);
  if (r.esn) f.emplace_back("QUORREL_ESN", Format("%08X", *r.esn));
  if (r.imei) f.emplace_back("QUORREL_IMEI", *r.imei);
  f.emplace_back("QUORREL_VERSION_BEFORE", r.versionBefore);
  f.emplace_back("QUORREL_VERSION_AFTER", r.versionAfter);
  if (!r.nvFile.empty()) f.emplace_back("QUORREL_NV_FILE", r.nvFile);
  if (r.nvSha256) f.emplace_back("QUORREL_NV_SHA256", *r.nvSha256);
  if (!r.lastError.empty()) f.emplace_back("QUORREL_LAST_ERROR", r.lastError);
  return f;
}

bool AppendJobRecord(const std::string& folder, const JobRecord& record, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path path = fs::path(folder) / kResultsFile;
  const std::string line = JobRecordJson(record) + "\n";
  std::lock_guard lock(AppendMutex());
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (out) out.write(line.data(), static_cast<std::streamsize>(line.size()));
  if (out) out.flush();
  if (!out) {
    if (error) *error = "cannot append to " + path.string();
    return false;
  }
  return true;
}

bool KeepJobRecord(const JobRecord& record, std::string* path, std::string* error) {
  const std::string folder = UserStateFolder();
  if (path) *path = (std::filesystem::path(folder) / kResultsFile).string();
  if (JournalWanted()) (void)JournalSend(JobRecordJournalFields(record));
  return AppendJobRecord(folder, record, error);
}

}  // namespace quorrel
