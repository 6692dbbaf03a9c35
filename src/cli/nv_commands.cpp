// quorrel-cli nv: reading, comparing and making NV files, and reading NV
// items live from the attached modem (reads only).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/line_controller.h"
#include "app/nv_tools.h"
#include "cli/commands.h"
#include "jobs/mode_transitions.h"
#include "jobs/nv_backup.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/user_folders.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel::cli {

const char kNvUsage[] =
    "usage: quorrel-cli nv dump FILE [--json]\n"
    "       quorrel-cli nv diff A B\n"
    "       quorrel-cli nv import JSON OUT\n"
    "       quorrel-cli nv read ITEM... [--time-scale F] [--wait-seconds S]\n"
    "       quorrel-cli nv find ESN [--nv-dir DIR]\n"
    "\n"
    "  dump    every record of an NV file (index, item, status, data) and a summary;\n"
    "          --json: one JSON array of {record, item, status, status_name, data}\n"
    "  diff    the records whose item, status or data differ; exit 0 equal, 1 differ,\n"
    "          2 error\n"
    "  import  the reverse of dump --json: writes a 98,600-byte NV file (atomically)\n"
    "  read    reads NV items from the attached modem (nothing is written to it)\n"
    "  find    every backup kept of the modem with this ESN (8 hex digits), oldest\n"
    "          first, from the NV folder's archive; exit 1 when there is none\n";

namespace {

constexpr int kNvReadAttempts = 3;
constexpr uint32_t kNvReadRetryMs = 100;

int Fail(int code, const std::string& why) {
  std::fprintf(stderr, "quorrel-cli nv: %s\n", why.c_str());
  return code;
}

int Dump(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a.rfind("--", 0) == 0) {
      return Fail(kExitUsage, "unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 1) return Fail(kExitUsage, "dump takes one NV file");
  std::string error;
  std::optional<NvTable> table = LoadNvFile(files[0], &error);
  if (!table) return Fail(kExitJobFailed, error);
  const std::string out = json ? NvDumpJson(*table) : NvDumpText(*table);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;
}

int Diff(const std::vector<std::string>& args) {
  // An error is 2 here: 1 means "they differ".
  if (args.size() != 2) return Fail(kExitUsage, "diff takes two NV files");
  std::string error;
  std::optional<NvTable> a = LoadNvFile(args[0], &error);
  if (!a) return Fail(2, error);
  std::optional<NvTable> b = LoadNvFile(args[1], &error);
  if (!b) return Fail(2, error);
  const std::vector<std::string> lines = NvDifferences(*a, *b);
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  if (lines.empty()) return 0;
  std::printf("%zu record%s differ%s\n", lines.size(), lines.size() == 1 ? "" : "s",
              lines.size() == 1 ? "s" : "");
  return 1;
}

int Import(const std::vector<std::string>& args) {
  if (args.size() != 2)
    return Fail(kExitUsage, "import takes a JSON file and the NV file to write");
  // A dump of 725 records is about 200 KB; anything far larger is no dump.
  constexpr size_t kMaxJson = 4u << 20;
  std::optional<std::string> text = ReadWholeFile(args[0], kMaxJson);
  if (!text)
    return Fail(kExitJobFailed, "cannot read " + args[0] + " (or it is larger than 4 MiB)");
  std::string error;
  std::optional<NvTable> table = NvTableFromJson(*text, &error);
  if (!table) return Fail(kExitJobFailed, args[0] + ": " + error);
  if (!SaveNvFile(args[1], *table, &error)) return Fail(kExitJobFailed, error);
  std::printf("wrote %s (%zu bytes)\n", args[1].c_str(), NvTable::kFileSize);
  return kExitOk;
}

int Read(const std::vector<std::string>& args) {
  double timeScale = 0;
  int waitSeconds = -1;
  std::vector<uint16_t> items;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--time-scale" || a == "--wait-seconds") {
      if (i + 1 >= args.size()) return Fail(kExitUsage, a + " needs a value");
      const std::string& v = args[++i];
      char* end = nullptr;
      if (a == "--time-scale") {
        timeScale = std::strtod(v.c_str(), &end);
        if (end == v.c_str() || *end != 0 || !(timeScale > 0) || timeScale > 1000) {
          return Fail(kExitUsage, "--time-scale takes a number above 0");
        }
      } else {
        const long s = std::strtol(v.c_str(), &end, 10);
        if (end == v.c_str() || *end != 0 || s < 0 || s > 86400) {
          return Fail(kExitUsage, "--wait-seconds takes a whole number of seconds");
        }
        waitSeconds = static_cast<int>(s);
      }
      continue;
    }
    char* end = nullptr;
    const unsigned long item = std::strtoul(a.c_str(), &end, 0);
    if (a.empty() || a[0] == '-' || end == a.c_str() || *end != 0 || item >= kNvEndItem) {
      return Fail(kExitUsage, "not an NV item number (0 to 9998): " + a);
    }
    items.push_back(static_cast<uint16_t>(item));
  }
  if (items.empty()) return Fail(kExitUsage, "read takes at least one NV item");

  std::unique_ptr<Clock> clock;
  if (timeScale > 0) {
    clock = std::make_unique<ScaledClock>(timeScale);
  } else {
    clock = std::make_unique<RealClock>();
  }
  CQuorrelDoc doc(*clock, SystemSerialDevices());
  std::error_code ec;
  CliDisplay display(doc, std::filesystem::current_path(ec).string(), stderr, false);
  JobEnvironment env = StandardJobEnvironment(doc, display);
  std::optional<uint64_t> limit;
  if (waitSeconds >= 0) limit = static_cast<uint64_t>(waitSeconds) * 1000;
  if (!WaitForDiagPort(env, limit))
    return Fail(kExitNoModem, "no modem's diagnostic port was found");
  if (!OpenDiagPort(env, 0))
    return Fail(kExitNoModem,
                Format("cannot open COM%d", static_cast<int>(doc.line(0).settings.diagPort.get())));

  PhoneLink& link = doc.link(0);
  size_t unanswered = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    NvRecord record;
    record.item = items[i];
    for (int attempt = 0; attempt < kNvReadAttempts; ++attempt) {
      if (ReadNvItem(link, record.item, record.data, record.status)) break;
      clock->Sleep(kNvReadRetryMs);
    }
    if (record.status == 0xFFFF) ++unanswered;
    std::printf("%s\n", NvRecordText(i, record).c_str());
  }
  std::fflush(stdout);
  if (unanswered > 0)
    return Fail(kExitJobFailed,
                Format("%zu item%s got no valid answer", unanswered, unanswered == 1 ? "" : "s"));
  return kExitOk;
}

int Find(const std::vector<std::string>& args) {
  std::string esn, dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--nv-dir" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      return Fail(kExitUsage, "unknown option " + args[i]);
    } else if (esn.empty()) {
      esn = args[i];
    } else {
      return Fail(kExitUsage, "find takes one ESN");
    }
  }
  const bool hex =
      esn.size() == 8 && esn.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  if (!hex) return Fail(kExitUsage, "find takes an ESN of 8 hex digits");
  esn = ToUpperAscii(esn);
  namespace fs = std::filesystem;
  const fs::path archive =
      (dir.empty() ? MapPath(DefaultProgramFolders().nvFolder) : fs::path(dir)) / kNvArchiveFolder;
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(archive, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 9 && name.compare(0, 9, esn + "-") == 0 && it->path().extension() == ".nvm") {
      found.push_back(it->path().string());
    }
  }
  std::sort(found.begin(), found.end());
  for (const std::string& f : found) std::printf("%s\n", f.c_str());
  std::fflush(stdout);
  if (found.empty()) return Fail(kExitJobFailed, "no backup of " + esn + " in " + archive.string());
  return kExitOk;
}

}  // namespace

int RunNvCommand(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kNvUsage, args.empty() ? stderr : stdout);
    return args.empty() ? kExitUsage : kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "dump") return Dump(rest);
  if (args[0] == "diff") return Diff(rest);
  if (args[0] == "import") return Import(rest);
  if (args[0] == "read") return Read(rest);
  if (args[0] == "find") return Find(rest);
  std::fputs(kNvUsage, stderr);
  return Fail(kExitUsage, "unknown nv command " + args[0]);
}

}  // namespace quorrel::cli
