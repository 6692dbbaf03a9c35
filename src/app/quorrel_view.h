// The main form's view without a toolkit: the start-up of the form, every
// command of the form and its menu, the uninstall request another program
// sends, the close with its confirmation and the shutdown. It works on the
// form model (what the front end shows), the document and the line
// controller (the line threads); a front end builds the widgets from the
// form template, routes each command here on its user-interface thread and
// supplies the few things only it can do (the About box, timers, closing
// the window).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/form_model.h"
#include "app/line_controller.h"
#include "lines/document.h"
#include "lines/line_assignment.h"
#include "platform/named_mutex.h"
#include "platform/resources.h"

namespace quorrel {

// Menu commands and the window message another program sends.
namespace commands {
inline constexpr int kPortSetting = 32780;
inline constexpr int kExit = 32781;
inline constexpr int kHelp = 32782;
inline constexpr int kAbout = 32783;
inline constexpr int kRecordLog = 32784;
inline constexpr int kUninstallAllMessage = 0x0400 + 1;  // WM_USER + 1
// The frame's file commands, sent by its standard accelerators.
inline constexpr int kFileNew = 0xE100;
inline constexpr int kFileOpen = 0xE101;
inline constexpr int kFileSave = 0xE103;
inline constexpr int kFilePrint = 0xE107;
}  // namespace commands

// The frame's accelerators: Ctrl with the key. The edit keys are left to the
// focused control (the edits copy their paths).
struct Accelerator {
  char key;
  int command;
};
inline constexpr Accelerator kAccelerators[] = {
    {'N', commands::kFileNew},
    {'O', commands::kFileOpen},
    {'S', commands::kFileSave},
    {'P', commands::kFilePrint},
};
// The save dialog of the document file: its filter and the name it proposes.
inline constexpr char kDocumentFilter[] = "All Files | *;||";
inline constexpr char kUntitledDocument[] = "Untitled";

inline constexpr char kMutexName[] =
    "VantrelBrenlow,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66";
inline constexpr char kMutexTakenText[] =
    "Запущен Коннект менеджер. Закройте его и запустите программу обновления повторно!";
inline constexpr char kCloseQuestion[] =
    "Идет процесс обновления, остановка программы обновления может повредить устройство. Вы "
    "действительно "
    "хотите закрыть приложение?";
inline constexpr char kDataPortZeroText[] = "Data端口不能为 0 !";
inline constexpr char kBinFilter[] = "Bin Files(*.bin) | *.bin;||";
inline constexpr char kNvmFilter[] = "NVM Files(*.NVM) | *.NVM;||";
inline constexpr char kHelpFile[] = "help.pdf";

enum class StartupResult {
  Ready,             // the form is filled and line 1's port watch runs
  AlreadyRunning,    // another instance (or the connection manager) holds the mutex
  ExtractionFailed,  // the release could not be written out
};

struct ViewHooks {
  // The modal About box.
  std::function<void()> showAbout;
  // Closes the main window as its close box does (with the confirmation).
  std::function<void()> closeWindow;
  // Runs fn on the user-interface thread once ms milliseconds of the
  // program's clock have passed. Without it the view sleeps on the
  // document's clock and runs fn at once.
  std::function<void(uint32_t ms, std::function<void()> fn)> runLater;
};

class CQuorrelView {
 public:
  // The document, form and controller outlive the view.
  CQuorrelView(CQuorrelDoc& doc, FormModel& form, LineController& controller, ViewHooks hooks = {});
  ~CQuorrelView();
  CQuorrelView(const CQuorrelView&) = delete;
  CQuorrelView& operator=(const CQuorrelView&) = delete;

  // The form's initial update: dot labels, per-line texts, the single-
  // instance mutex, the intro texts, the edits and the title, the written-out
  // release, the default options and icons, every line's displays, and line
  // 1's port watch. Anything but Ready means the process ends with exit code
  // 0 (the message has been answered).
  StartupResult OnInitialUpdate(const ResourceTable& resources);

  // The station: from now on every attached modem gets a line of its own
  // (the station file's fixed lines first), every line works with the
  // release written out at start-up and watches for its modem. After
  // OnInitialUpdate returned Ready.
  void OpenStation(StationMap map);

  // A command of the form or its menu, or the uninstall message. Commands of
  // controls the form has disabled are ignored, as a disabled control sends
  // none. False for an identifier that is no command.
  bool OnCommand(int id);

  // The close box and Exit: true when the window may close; asks first while
  // a line runs.
  bool ConfirmClose();
  // Suspends every line thread and lets the mutex go. Idempotent.
  void Shutdown();
  // Window destruction: removes the written-out release.
  void OnDestroy();

  bool PortsReleased() const { return form_.PortsReleased(); }
  // The next restore-port press of a line switches the diagnostic port on
  // (true) or off.
  bool RestoreSwitchesOn(int line) const {
    return !diag_switched_on_.at(static_cast<size_t>(line));
  }

 private:
  void ReleaseOrReconnectAll();
  void NewDocument();
  void SaveDocument();
  // Line 1's paths in the edits.
  void ShowFirstLinePaths();
  void SetLineMode(int line, LineMode mode);
  void SetNvOption(int option);
  void ChooseFile(int editId, std::string_view filter, Path260 SettingsRecord::*field);
  void RestorePort(int line);
  // Opens the line's data port at 115200 baud; false (and said in the state
  // line) when it cannot be opened.
  bool OpenRestorePort(int line);
  void FinishRestorePort(int line);
  void OpenHelp();
  void RunLater(uint32_t ms, std::function<void()> fn);
  // Line 1's start button stays disabled while no phone answered.
  void ApplyReadyRule();

  CQuorrelDoc& doc_;
  FormModel& form_;
  LineController& controller_;
  ViewHooks hooks_;
  std::unique_ptr<NamedMutex> mutex_;
  std::array<bool, kLineCount> diag_switched_on_{};
  std::string document_path_;
  bool shut_down_ = false;
};

}  // namespace quorrel
