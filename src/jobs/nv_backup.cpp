#include "jobs/nv_backup.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "jobs/image_steps.h"
#include "jobs/modem_identity.h"
#include "jobs/schedule.h"
#include "lines/control_ids.h"
#include "lines/line_display.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

namespace {

struct ItemRun {
  uint16_t first;
  uint16_t last;
};

// The saved items in record order; the order and the repetitions are part of
// the NV file format.
constexpr ItemRun kItemRuns[] = {
    {0, 0},       {22, 22},     {90, 90},     {141, 141},
    {148, 148},   {453, 453},   {519, 525},   {529, 545},
    {569, 573},   {724, 735},   {740, 816},   {819, 822},
    {856, 876},   {878, 878},   {916, 917},   {1058, 1097},
    {1102, 1105}, {1143, 1144}, {1152, 1158}, {1161, 1161},
    {1168, 1169}, {1173, 1176}, {1181, 1184}, {1186, 1188},
    {1196, 1200}, {1284, 1284}, {1297, 1298}, {1323, 1323},
    {1336, 1337}, {1345, 1348}, {1795, 1798}, {1801, 1802},
    {1814, 1815}, {1823, 1829}, {1832, 1832}, {1839, 1840},
    {1844, 1847}, {1861, 1864}, {1866, 1868}, {1971, 1976},
    {2009, 2020}, {2724, 2729}, {2030, 2041}, {2055, 2066},
    {2521, 2552}, {2585, 2592}, {2553, 2584}, {2593, 2648},
    {2724, 2741}, {2743, 2743}, {2745, 2745}, {2749, 2749},
    {2770, 2777}, {3059, 3062}, {3502, 3505}, {3650, 3651},
    {3675, 3675}, {3659, 3665}, {3676, 3676}, {3680, 3683},
    {3688, 3689}, {3691, 3691}, {3693, 3695}, {3706, 3709},
    {3714, 3717}, {3746, 3751}, {3759, 3759}, {3767, 3767},
    {3765, 3765}, {3778, 3780}, {3766, 3766}, {3781, 3783},
    {3789, 3790}, {3804, 3812}, {3815, 3817}, {3819, 3848},
    {3969, 3984}, {4179, 4182}, {4403, 4403}, {4401, 4401},
    {4408, 4408}, {4406, 4406}, {4423, 4423}, {4421, 4421},
    {4413, 4413}, {4411, 4411}, {4965, 4965}, {4970, 4970},
    {4975, 4975}, {4969, 4969}, {4974, 4974}, {4979, 4979},
    {4871, 4872}, {4965, 4965}, {4970, 4970}, {4975, 4975},
    {4990, 4990}, {5201, 5219}, {5401, 5419}, {5601, 5625},
    {6001, 6019}, {8000, 8024}, {550, 550},   {kNvEndItem, kNvEndItem},
};

constexpr size_t CountItems() {
  size_t n = 0;
  for (const ItemRun& run : kItemRuns) n += static_cast<size_t>(run.last - run.first + 1);
  return n;
}
static_assert(CountItems() == kNvBackupItemCount);

constexpr std::array<uint16_t, kNvBackupItemCount> ExpandItems() {
  std::array<uint16_t, kNvBackupItemCount> items{};
  size_t i = 0;
  for (const ItemRun& run : kItemRuns) {
    for (uint32_t item = run.first; item <= run.last; ++item)
      items[i++] = static_cast<uint16_t>(item);
  }
  return items;
}

constexpr std::array<uint16_t, kNvBackupItemCount> kItems = ExpandItems();
static_assert(kItems[0] == 0 && kItems[5] == 453 && kItems[281] == 2724 && kItems[439] == 2724 &&
              kItems[712] == 550 && kItems[713] == kNvEndItem);

// NV statuses a restore does not retry: the item is not active, or read-only.
constexpr uint16_t kNvNotActive = 5;
constexpr uint16_t kNvReadOnly = 7;

// An item read for the backup: up to 3 tries, 100 ms after each failure
// (the last one too).
constexpr Schedule kNvReadTries = Evenly(3, 100);
// An item written back: try; try once more, unless the phone refused it as
// not active or read-only (then it is skipped).
constexpr Schedule kNvWriteTries{{.tries = 2}};
// The mode changes around a restore: up to 3 tries, 200 ms after each
// failure.
constexpr Schedule kModeChangeTries = Evenly(3, 200);
// Items in a row without a valid answer after which a backup stops reading:
// the phone's NV store no longer answers, and the backup has failed anyway.
constexpr int kNvSilentItemsLimit = 8;

constexpr char kTextWrongSize[] = "NVM file for backup NV doesn't exist or destroyed";

void Status(JobEnvironment& env, int line, std::string_view text) {
  env.display.StatusLine(line, text, true);
}

// The platform's own message for a file error, as a box.
void ShowFileError(JobEnvironment& env, std::string_view path, int cause) {
  const std::string reason = std::error_code(cause, std::generic_category()).message();
  env.display.MessageBox(MessageBoxRequest{
      Format("%.*s: %s", static_cast<int>(path.size()), path.data(), reason.c_str()), "",
      MessageButtons::Ok, MessageIcon::Warning});
}

int ErrnoOr(int fallback) {
  return errno != 0 ? errno : fallback;
}

// Writes the table into a new file next to path and moves it over path, so
// that a failed or interrupted write leaves the previous file whole. 0 on
// success, else the cause (an errno value).
int WriteTableFile(std::string_view path, const std::vector<uint8_t>& bytes) {
  namespace fs = std::filesystem;
  const fs::path target = MapPath(path);
  std::error_code ec;
  // A read-only NV file stays untouched, as it would be if written in place.
  const fs::file_status st = fs::status(target, ec);
  if (!ec && fs::exists(st)) {
    if (!fs::is_regular_file(st)) return EISDIR;
    if ((st.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                             fs::perms::others_write)) == fs::perms::none) {
      return EACCES;
    }
  }
  // A new file under a name nobody else has, made without following a link,
  // then renamed over the old one: a failed write leaves the old one whole.
  std::string temporary;
  errno = 0;
  std::optional<File> file = File::CreateTemporary(path, &temporary);
  if (!file) return ErrnoOr(EACCES);
  errno = 0;
  if (!file->Write(std::span<const uint8_t>(bytes))) {
    const int cause = ErrnoOr(EIO);
    file->Close();
    (void)DeleteFileAt(temporary);
    return cause;
  }
  file->Close();
  errno = 0;
  if (!ReplaceFile(temporary, path)) {
    const int cause = ErrnoOr(EIO);
    (void)DeleteFileAt(temporary);
    return cause;
  }
  return 0;
}

// A mode change by kModeChangeTries, then a pause of a second whatever came
// of it (none in fast mode).
template <typename Change>
void ModeChangeBestEffort(JobEnvironment& env, int line, Change change) {
  PhoneLink& link = env.doc.link(line);
  (void)RunSchedule(env, line, kModeChangeTries, [&] { return change(link) != 0; });
  // Fast mode: the NV requests' own tries wait for the modem.
  if (!env.fast()) env.clock().Sleep(1000);
}

// The ESN a backup belongs to: the one the job read.
std::optional<uint32_t> BackupEsn(JobEnvironment& env, int line) {
  return env.doc.line(line).Binding().esn;
}

// Every backup is also kept under the modem's identity, so that the next
// modem on the line, which replaces the line's NV file, never takes the only
// copy of this one's: <NV folder>\archive\<ESN>-<date>-<time>.nvm. A copy
// that cannot be written is told on the status line; the backup stands.
void KeepArchiveCopy(JobEnvironment& env, int line, std::string_view path,
                     const std::vector<uint8_t>& bytes) {
  const size_t cut = path.find_last_of("\\/");
  const std::string folder =
      std::string(cut == std::string_view::npos ? std::string_view(".") : path.substr(0, cut));
  const std::string archive = folder + "\\" + kNvArchiveFolder;
  const std::optional<uint32_t> esn = BackupEsn(env, line);
  const LocalTime t = CurrentLocalTime();
  const std::string stem =
      Format("%s-%04d%02d%02d-%02d%02d%02d", esn ? Format("%08X", *esn).c_str() : "unknown", t.year,
             t.month, t.day, t.hour, t.minute, t.second);
  // Two backups of one modem within a second each keep their copy.
  std::string copy = archive + "\\" + stem + ".nvm";
  for (int n = 2; PathExists(copy) && n < 100; ++n)
    copy = archive + "\\" + stem + Format("-%d.nvm", n);
  errno = 0;
  const int cause = EnsureDirectory(archive) ? WriteTableFile(copy, bytes) : ErrnoOr(EACCES);
  if (cause != 0) {
    Status(env, line,
           Format("The copy of the NV backup in %s was not written (%d)",
                  NativePath(archive).c_str(), cause));
  }
}

}  // namespace

const std::array<uint16_t, kNvBackupItemCount> NvBackupItems = kItems;

void NvRecord::StoreTo(std::span<uint8_t, kSize> out) const {
  std::fill(out.begin(), out.end(), 0);
  out[0] = static_cast<uint8_t>(item);
  out[1] = static_cast<uint8_t>(item >> 8);
  std::copy(data.begin(), data.end(), out.begin() + 4);
  out[132] = static_cast<uint8_t>(status);
  out[133] = static_cast<uint8_t>(status >> 8);
}

void NvRecord::LoadFrom(std::span<const uint8_t, kSize> in) {
  item = static_cast<uint16_t>(in[0] | in[1] << 8);
  std::copy(in.begin() + 4, in.begin() + 4 + kNvDataSize, data.begin());
  status = static_cast<uint16_t>(in[132] | in[133] << 8);
}

void NvTable::StoreTo(std::span<uint8_t, kFileSize> out) const {
  for (size_t i = 0; i < kRecords; ++i) {
    records[i].StoreTo(
        std::span<uint8_t, NvRecord::kSize>(out.data() + i * NvRecord::kSize, NvRecord::kSize));
  }
}

void NvTable::LoadFrom(std::span<const uint8_t, kFileSize> in) {
  for (size_t i = 0; i < kRecords; ++i) {
    records[i].LoadFrom(std::span<const uint8_t, NvRecord::kSize>(in.data() + i * NvRecord::kSize,
                                                                  NvRecord::kSize));
  }
}

NvTable BuildBackupTable() {
  NvTable table;
  for (size_t i = 0; i < kNvBackupItemCount; ++i) table.records[i].item = NvBackupItems[i];
  return table;
}

int BackupNv(JobEnvironment& env, int line, std::string_view path) {
  PhoneLink& link = env.doc.link(line);
  NvTable table = BuildBackupTable();

  // A backup is whole only when every item got an answer (its data, or a
  // status saying why not) and at least one item was read.
  std::vector<uint16_t> unanswered;
  bool anyRead = false;
  bool stopped = false;
  int silentInARow = 0;
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    env.display.SetProgress(line, 10 + static_cast<int>(i * 10 / NvTable::kRecords));
    NvRecord& record = table.records[i];
    if (record.item >= kNvEndItem) break;
    (void)RunSchedule(env, line, kNvReadTries, [&] {
      return ReadNvItem(link, record.item, record.data, record.status) != 0;
    });
    if (record.status == 0) anyRead = true;
    if (record.status != kNvStatusFailure) {
      silentInARow = 0;
      continue;
    }
    if (std::find(unanswered.begin(), unanswered.end(), record.item) == unanswered.end()) {
      unanswered.push_back(record.item);
    }
    if (++silentInARow == kNvSilentItemsLimit) {
      stopped = i + 1 < NvTable::kRecords && table.records[i + 1].item < kNvEndItem;
      break;
    }
  }

  if (!unanswered.empty() || !anyRead) {
    // The previous NV file, if any, stays as it is.
    std::string text;
    if (unanswered.empty()) {
      text = "NV backup failed: the phone gave the data of no NV item";
    } else {
      std::string items;
      for (uint16_t item : unanswered) items += Format(items.empty() ? "%u" : ", %u", item);
      text = Format("NV backup failed: no valid answer for NV item%s %s%s",
                    unanswered.size() > 1 ? "s" : "", items.c_str(),
                    stopped ? ", and the items after them were not read" : "");
    }
    text += Format("; %.*s was not written", static_cast<int>(path.size()), path.data());
    Status(env, line, text);
    link.SetLastError(text);
    return 0;
  }

  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  const int cause = WriteTableFile(path, bytes);
  if (cause == 0) {
    KeepArchiveCopy(env, line, path, bytes);
    return 1;
  }

  ShowFileError(env, path, cause);
  const std::string text = Format("线路 %d 失败,保存数据到 %.*s (%d)", line + 1,
                                  static_cast<int>(path.size()), path.data(), cause);
  Status(env, line, text);
  // The job end reports the link's last error: make it this one rather than
  // whatever the phone last failed.
  link.SetLastError(text);
  return 0;
}

std::optional<NvTable> ReadNvTable(std::string_view path) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  const bool whole =
      file->Size() == static_cast<int64_t>(NvTable::kFileSize) &&
      file->Read(std::span<uint8_t>(bytes)) == static_cast<int64_t>(NvTable::kFileSize);
  file->Close();
  if (!whole) return std::nullopt;
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));
  return table;
}

int RestoreNv(JobEnvironment& env, int line, std::string_view path) {
  PhoneLink& link = env.doc.link(line);

  errno = 0;
  std::optional<File> file = File::OpenRead(path);
  if (!file) {
    const int cause = ErrnoOr(ENOENT);
    ShowFileError(env, path, cause);
    Status(env, line,
           Format("fails to read data from file %.*s (%d)", static_cast<int>(path.size()),
                  path.data(), cause));
    return 0;
  }
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  if (file->Size() != static_cast<int64_t>(NvTable::kFileSize) ||
      file->Read(std::span<uint8_t>(bytes)) != static_cast<int64_t>(NvTable::kFileSize)) {
    Status(env, line, kTextWrongSize);
    env.display.Message(kTextWrongSize);
    file->Close();
    return 0;
  }
  file->Close();
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), bytes.size()));

  ModeChangeBestEffort(env, line, PutOffline);

  const int option = env.doc.nvOption.load();
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    env.display.SetProgress(line, 82 + static_cast<int>(i * 13 / NvTable::kRecords));
    NvRecord& record = table.records[i];
    if (record.item >= kNvEndItem) break;
    if (option == kNvRestoreRf && (record.item == 550 || record.item == 4051)) continue;
    if (record.status != 0) continue;
    int tries = 0;
    bool refused = false;
    const bool written = RunSchedule(
        env, line, kNvWriteTries,
        [&] {
          if (WriteNvItem(link, record.item, record.data, record.status)) return true;
          refused = ++tries == 1 && (record.status == kNvNotActive || record.status == kNvReadOnly);
          return false;
        },
        {.giveUp = [&] { return refused; }});
    if (!written && !refused) return 0;
  }

  ModeChangeBestEffort(env, line, ChangeModeFour);
  return 1;
}

void RunNvBackupJob(JobEnvironment& env, int line) {
  LineJob& job = env.doc.line(line);
  uint32_t esn = 0;
  // The ESN names the backup's archive copy and the job's record.
  if (GetEsn(env.doc.link(line), esn)) job.SetBoundEsn(esn);

  if (!CheckNvDirectory(env, job.settings.nvDirectory.view())) {
    env.display.JobEnd(line, "不能建立NV区目录，请检查备份路径设置是否正确!",
                       EndKind::FailManualRestart);
    env.display.ShowStatus(line, kStatusFail);
    return;
  }
  Status(env, line, "NV区备份目录建立成功");
  Status(env, line, "现在开始备份NV区");

  if (!BackupNv(env, line, job.settings.nvFile.view())) {
    env.display.JobEnd(line, env.doc.link(line).LastError(), EndKind::FailManualRestart);
    return;
  }
  env.display.JobEnd(line, "备份NV区成功", EndKind::Pass);
  env.display.ShowStatus(line, kStatusPass);
  env.display.SetProgress(line, 100);
}

NvRestoreResult RunNvRestoreJob(JobEnvironment& env, int line) {
  LineJob& job = env.doc.line(line);
  const int option = env.doc.nvOption.load();
  auto fail = [&](std::string_view text, NvRestoreResult result) {
    env.display.JobEnd(line, text, EndKind::FailManualRestart);
    env.display.ShowStatus(line, kStatusFail);
    return result;
  };
  if (option == kNvRestoreRf || option == kNvRestoreRfImei) {
    Status(env, line, "重载NV区参数");
    const std::string file = job.settings.nvFile.str();
    if (env.doc.nvRestoreIntoOtherModem.load()) {
      Status(env, line,
             "The NV file is written into the modem attached without checking that it was saved "
             "from it");
    } else {
      // The file's items go only into the modem they were saved from.
      const IdentityCheck identity = CheckModemIdentity(env, line, file, std::nullopt);
      if (identity.match == IdentityMatch::Other) {
        return fail(
            identity.text +
                " (quorrel-cli restore-nv --other-modem writes it into this modem on purpose)",
            NvRestoreResult::OtherModem);
      }
      if (identity.match == IdentityMatch::Unread) {
        Status(env, line, identity.text);
        return fail("重载NV区参数失败", NvRestoreResult::Failed);
      }
    }
    if (!RestoreNv(env, line, file)) return fail("重载NV区参数失败", NvRestoreResult::Failed);
  } else if (option == kNvLoadDefault) {
    // The default NV file is meant for any modem.
    Status(env, line, "装载缺省NV区");
    const std::string defaultFile = env.doc.line(0).settings.defaultNvFile.str();
    if (!RestoreNv(env, line, defaultFile))
      return fail("装载缺省NV区失败", NvRestoreResult::Failed);
  }
  env.display.JobEnd(line, "恢复NV区成功", EndKind::PassRestart);
  env.display.ShowStatus(line, kStatusPass);
  return NvRestoreResult::Restored;
}

void ChooseNvDirectory(JobEnvironment& env) {
  const std::optional<std::string> folder =
      env.display.BrowseForFolder("Please choose the NV directory");
  if (folder) {
    // Every line's paths change, or none: a folder too long for them is
    // refused as a whole.
    const std::string longest = Format("%s\\Channel%d.nvm", folder->c_str(), kLineCount);
    if (Path256::Fits(*folder) && Path260::Fits(longest)) {
      for (int i = 0; i < kLineCount; ++i) {
        SettingsRecord& s = env.doc.line(i).settings;
        (void)s.nvDirectory.Set(*folder);
        (void)s.nvFile.Set(Format("%s\\Channel%d.nvm", folder->c_str(), i + 1));
      }
    } else {
      env.display.Message(
          Format("The folder %s is too long for the NV files; the NV directory stays as it was",
                 folder->c_str()));
    }
  }
  env.display.SetControlText(controls::kNvDirectoryEdit,
                             env.doc.line(0).settings.nvDirectory.view());
}

}  // namespace quorrel
