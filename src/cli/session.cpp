#include "cli/session.h"

#include <cstdlib>
#include <system_error>

#include "cli/commands.h"
#include "jobs/nv_backup.h"
#include "package/embedded_release.h"
#include "package/image_checks.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "release/embedded_resources.h"

namespace quorrel::cli {

namespace {

constexpr char kMutexName[] =
    "VantrelBrenlow,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
constexpr char kMutexTaken[] =
    "Запущен Коннект менеджер. Закройте его и запустите программу обновления повторно!";

}  // namespace

// Drops one trailing separator, as the folder choosers do.
std::string Folder(std::string dir) {
  if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

std::optional<int> OpenSession(const Options& o, Session& s) {
  // The clock every wait goes through.
  if (o.timeScale > 0) {
    s.clock = std::make_unique<ScaledClock>(o.timeScale);
    s.timeScale = o.timeScale;
  } else {
    s.clock = std::make_unique<RealClock>();
  }
  s.devices = &SystemSerialDevices();
  if (!o.trace.empty()) {
    s.traceFile = std::fopen(o.trace.c_str(), "w");
    if (s.traceFile == nullptr) {
      std::fprintf(stderr, "quorrel-cli: cannot write the trace %s\n", o.trace.c_str());
      return kExitSetup;
    }
    s.tracer = std::make_unique<TracingSerialDevices>(*s.devices, s.traceFile);
    s.devices = s.tracer.get();
  }

  bool taken = false;
  s.mutex = NamedMutex::Create(kMutexName, &taken);
  if (taken) {
    std::printf("%s\n", kMutexTaken);
    return kExitSetup;
  }

  std::error_code ec;
  s.startup = std::filesystem::current_path(ec).string();
  s.doc = std::make_unique<CQuorrelDoc>(*s.clock, *s.devices);
  s.doc->SetFast(o.fast);
  std::string error;
  // Installed under /usr, the NV backups and logs go to the user's folders.
  s.folders = DefaultProgramFolders();
  if (!s.doc->OnNewDocument(s.folders.nvFolder, &error)) {
    std::fprintf(stderr, "quorrel-cli: %s\n", error.c_str());
    return kExitSetup;
  }
  return std::nullopt;
}

std::optional<int> PrepareLines(const Options& o, Session& s, FormModel& display,
                                JobEnvironment& env) {
  CQuorrelDoc& doc = *s.doc;
  s.embedded = o.release.empty();
  if (s.embedded) {
    if (!ExtractEmbeddedImages(doc, display, EmbeddedResources())) return kExitSetup;
  } else {
    const std::string dir = Folder(o.release);
    display.SetFolderBrowser([dir](std::string_view) { return std::optional<std::string>(dir); });
    ChooseVersionDirectory(doc, display);
    const std::string programmer = dir + "\\armprg.bin";
    if (PathExists(programmer)) {
      for (int line = 0; line < kLineCount; ++line)
        (void)doc.line(line).settings.armprgPath.Set(programmer);
    }
  }
  if (!o.nvDir.empty()) {
    const std::string dir = Folder(o.nvDir);
    display.SetFolderBrowser([dir](std::string_view) { return std::optional<std::string>(dir); });
    ChooseNvDirectory(env);
  }
  if (!o.defaultNv.empty()) {
    for (int line = 0; line < kLineCount; ++line) {
      if (!doc.line(line).settings.defaultNvFile.Set(o.defaultNv)) {
        std::fprintf(stderr, "quorrel-cli: the default NV file path is too long\n");
        return kExitUsage;
      }
    }
  }
  if (o.nvOption) doc.nvOption = *o.nvOption;
  doc.nvRestoreIntoOtherModem = o.otherModem;
  return std::nullopt;
}

}  // namespace quorrel::cli
