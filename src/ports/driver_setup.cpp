#include "ports/driver_setup.h"

#include <algorithm>
#include <optional>
#include <string>

#include "lines/fixed_paths.h"
#include "platform/files.h"
#include "platform/os_version.h"
#include "platform/process_list.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "util/text.h"

namespace quorrel {

namespace {

constexpr const char* kFlagKeys[] = {"SOFTWARE\\Wow6432Node\\VantrelUSBDriverFlag",
                                     "SOFTWARE\\VantrelUSBDriverFlag"};

constexpr const char* kUninstallers[] = {
    "C:\\Program Files\\VantrelDriver\\USBDriverInstaller_x86.exe",
    "C:\\Program Files\\VantrelDriver\\USBDriverInstaller_x64.exe",
    "C:\\Program Files (x86)\\VantrelDriver\\USBDriverInstaller_x86.exe",
    "C:\\Program Files (x86)\\VantrelDriver\\USBDriverInstaller_x64.exe",
};

std::string DriverSetupPath() {
  return std::string(kExtractionFolder) + "\\" + kDriverSetupName;
}

}  // namespace

bool DetectWindowsVersion(CQuorrelDoc& doc) {
  std::optional<std::string> name = WindowsVersionName(CurrentOsVersion());
  if (!name) return false;
  doc.SetOsName(*name);
  return *name == "Windows 7";
}

bool IsUsbDriverInstalled() {
  for (const char* path : kFlagKeys) {
    RegistryKey key;
    uint32_t value = 0;
    if (key.Open(RegistryRoot::LocalMachine, path, kKeyAllAccess) == kRegistryOk &&
        key.QueryDword("IsDriverInstalled", &value) == kRegistryOk) {
      return true;
    }
  }
  return false;
}

int FindProcessByName(std::string_view exeName) {
  std::optional<std::vector<ProcessEntry>> list = ProcessList();
  if (!list) return -1;
  for (const ProcessEntry& p : *list) {
    if (EqualsIgnoreCaseAscii(p.exeName, exeName)) return p.pid;
  }
  return -1;
}

void InstallUsbDriver(CQuorrelDoc& doc, LineDisplay& display, int line,
                      const std::function<bool()>& stopRequested) {
  if (!DetectWindowsVersion(doc) || IsUsbDriverInstalled()) return;
  ShellOpen({"open", DriverSetupPath(), "", ShowCommand::Normal});
  display.StatusLine(line, "Устанавливается драйвер для Windows 7, пожалуйста подождите...", true);
  Clock& clock = doc.clock();
  auto stop = [&] { return stopRequested && stopRequested(); };
  // The installer's 30 s head start, in steps that a stop request can end.
  for (int waited = 0; waited < 30000; waited += 2000) {
    if (stop()) return;
    clock.Sleep(std::min(2000, 30000 - waited));
  }
  for (;;) {
    if (stop()) return;
    clock.Sleep(2000);
    if (FindProcessByName(kInstallerX86) != -1) continue;
    if (FindProcessByName(kInstallerX64) != -1) continue;
    display.StatusLine(line, "Драйвер Windows 7 установлен!", true);
    break;
  }
  DeleteFileAt(DriverSetupPath());
}

bool RunDriverUninstaller() {
  for (const char* path : kUninstallers)
    ShellOpen({"open", path, "Uninstall", ShowCommand::Normal});
  return true;
}

long OnUninstallAllMessage(CQuorrelDoc& doc, int currentLine) {
  if (currentLine < 0 || currentLine >= kLineCount) return 0;
  PhoneLink& link = doc.link(currentLine);
  if (link.Port().IsOpen()) link.Port().Close();
  doc.clock().Sleep(1500);
  return ShellOpen({"open", ".\\UnInstallAll.exe", "", ShowCommand::Maximized}) ? 1 : 0;
}

}  // namespace quorrel
