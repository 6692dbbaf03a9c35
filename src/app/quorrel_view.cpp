#include "app/quorrel_view.h"

#include "jobs/download_job.h"
#include "jobs/mode_transitions.h"
#include "jobs/nv_backup.h"
#include "package/embedded_release.h"
#include "package/image_checks.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "platform/user_folders.h"
#include "ports/driver_setup.h"
#include "ports/port_discovery.h"
#include "util/text.h"

namespace quorrel {

namespace {

using namespace controls;

constexpr int kFirstDotLabel = 1179;
constexpr uint32_t kRestoreDelayMs = 4500;

struct IntroText {
  int id;
  const char* text;
};

constexpr IntroText kIntroTexts[] = {
    {1189, "О программе:"},
    {1190, "Эта программа предназначена для обновления программного обеспечения модема Vantrel."},
    {1191, "Внимание:"},
    {1192, "- Программа обновления модема может работать только под Windows XP/VIsta/Win7."},
    {1193,
     "- Убедитесь, что питание компьютера, при помощи которого осуществляется обновление, "
     "стабильно и не будет "
     "прервано на всем протяжении работы программы."},
    {1194, "- Не отключайте модем до окончания обновления."},
    {1195, "Номер порта: "},
    {1196, "Текущая версия:"},
    {kDownload, "Загрузка"},
};

constexpr int kNvOptionButtons[] = {kNoBackupNv, kRestoreRfNv, kRestoreRfNvImei, kLoadDefaultNv};

bool NoPhoneShown(const std::string& version) {
  return version.empty() || version == "NULL" || version == kNoPhoneText;
}

}  // namespace

CQuorrelView::CQuorrelView(CQuorrelDoc& doc, FormModel& form, LineController& controller,
                           ViewHooks hooks)
    : doc_(doc), form_(form), controller_(controller), hooks_(std::move(hooks)) {}

CQuorrelView::~CQuorrelView() {
  Shutdown();
}

StartupResult CQuorrelView::OnInitialUpdate(const ResourceTable& resources) {
  // 1-2. The dot labels, and no port or phone shown yet.
  for (int line = 0; line < kLineCount; ++line) form_.SetControlText(kFirstDotLabel + line, ".");
  for (int line = 0; line < kLineCount; ++line) {
    form_.SetPortText(line, "");
    form_.SetVersionText(line, kNoPhoneText);
  }

  // 3. One instance, and never beside the connection manager.
  bool exists = false;
  mutex_ = NamedMutex::Create(kMutexName, &exists);
  if (exists) {
    form_.Message(kMutexTakenText);
    mutex_.reset();
    return StartupResult::AlreadyRunning;
  }

  // 4-5. The texts, line 1's paths in the edits, the title.
  for (const IntroText& t : kIntroTexts) form_.SetControlText(t.id, t.text);
  ShowFirstLinePaths();
  form_.SetTitle(kMainTitle);

  // 7. The release carried inside the program.
  if (!ExtractEmbeddedImages(doc_, form_, resources)) return StartupResult::ExtractionFailed;
  form_.SetControlText(kFirmwareFolderEdit, doc_.line(0).settings.firmwareFolder.view());

  // 8. Default options and the buttons' icons.
  SetNvOption(doc_.nvOption.load());
  for (int line = 0; line < kLineCount; ++line) SetLineMode(line, LineMode::Download);
  form_.SetChecked(kEraseBoot, true);
  form_.EnableControl(kEraseBoot, false);
  for (int line = 0; line < kLineCount; ++line) {
    form_.SetIcon(StartButton(line), kIconStart);
    form_.SetIcon(StopButton(line), kIconStop);
  }

  // 9. Every line's displays; every line starts out Ready.
  for (int line = 0; line < kLineCount; ++line) {
    form_.ShowStatus(line, kStatusReady);
    ShowLinePort(doc_, form_, line);
    ShowLineVersion(doc_, form_, line);
    form_.UpdateControls(line, true);
    form_.SetProgress(line, 0);
  }
  // Updating the controls enabled the start button again; it waits for a
  // phone, as the version display of line 1 has it.
  ApplyReadyRule();

  // 10.
  form_.EnableControl(RestorePortButton(0), false);

  // 11. Line 1 watches for its modem.
  if (doc_.line(0).settings.diagPort > 0) {
    controller_.StartPortWatch(0);
  } else {
    (void)doc_.line(0).SetVersionText(kNoPhoneText);
    ShowLineVersion(doc_, form_, 0);
  }
  doc_.clock().Sleep(100);
  return StartupResult::Ready;
}

void CQuorrelView::OpenStation(StationMap map) {
  doc_.assignment().Enable(std::move(map));
  for (int line = 1; line < kLineCount; ++line) PointAtExtractedRelease(doc_, line);
  for (int line = 0; line < kLineCount; ++line) {
    if (line > 0 || !controller_.HasPortWatch(line)) controller_.StartPortWatch(line);
  }
}

bool CQuorrelView::OnCommand(int id) {
  if (shut_down_) return false;
  if (id == commands::kUninstallAllMessage) {
    OnUninstallAllMessage(doc_, controller_.CurrentLine());
    return true;
  }
  // A disabled control sends nothing.
  if (FindTemplateControl(id) != nullptr && !form_.Control(id).enabled) return true;

  if (id >= StartButton(0) && id <= StartButton(kLineCount - 1)) {
    controller_.StartLine(id - StartButton(0));
    return true;
  }
  if (id >= StopButton(0) && id <= StopButton(kLineCount - 1)) {
    controller_.StopLine(id - StopButton(0));
    return true;
  }
  int line = 0;
  LineMode mode = LineMode::Download;
  if (ModeOfButton(id, &line, &mode)) {
    SetLineMode(line, mode);
    return true;
  }
  for (int l = 0; l < kLineCount; ++l) {
    if (id == RestorePortButton(l)) {
      RestorePort(l);
      return true;
    }
  }
  for (int option = 0; option < 4; ++option) {
    if (id == kNvOptionButtons[option]) {
      SetNvOption(option);
      return true;
    }
  }

  switch (id) {
    case kAllStart:
      controller_.StartAll();
      return true;
    case kAllStop:
      controller_.StopAll();
      return true;
    case kReleaseAll:
      ReleaseOrReconnectAll();
      return true;
    case kRestoreAllPorts:
      for (int l = 0; l < kLineCount; ++l) RestorePort(l);
      return true;
    case kNvDirectoryButton: {
      JobEnvironment env = StandardJobEnvironment(doc_, form_);
      ChooseNvDirectory(env);
      return true;
    }
    case kSoftwareVersion:
      ChooseVersionDirectory(doc_, form_);
      return true;
    case kProgrammerButton:
      ChooseFile(kProgrammerEdit, kBinFilter, &SettingsRecord::upgradeProgrammerFile);
      return true;
    case kBootFileButton:
      ChooseFile(kBootFileEdit, kBinFilter, &SettingsRecord::bootFile);
      return true;
    case kDefaultNvButton:
      ChooseFile(kDefaultNvEdit, kNvmFilter, &SettingsRecord::defaultNvFile);
      return true;
    case commands::kHelp:
      OpenHelp();
      return true;
    case commands::kAbout:
      if (hooks_.showAbout) hooks_.showAbout();
      return true;
    case commands::kPortSetting:
      return true;
    case commands::kFileNew:
      NewDocument();
      return true;
    case commands::kFileSave:
      SaveDocument();
      return true;
    // The frame's open command is empty, and the form prints nothing.
    case commands::kFileOpen:
    case commands::kFilePrint:
      return true;
    case commands::kExit:
      if (hooks_.closeWindow) hooks_.closeWindow();
      return true;
    default:
      return false;
  }
}

void CQuorrelView::ShowFirstLinePaths() {
  const SettingsRecord& first = doc_.line(0).settings;
  form_.SetControlText(kProgrammerEdit, first.upgradeProgrammerFile.view());
  form_.SetControlText(kBootFileEdit, first.bootFile.view());
  form_.SetControlText(kDefaultNvEdit, first.defaultNvFile.view());
  form_.SetControlText(kNvDirectoryEdit, first.nvDirectory.view());
  form_.SetControlText(kFirmwareFolderEdit, first.firmwareFolder.view());
}

void CQuorrelView::NewDocument() {
  // The new document's paths would change under a running job (its NV file,
  // its programmer): only while every line is idle, as the option buttons.
  if (form_.PortsReleased()) return;
  for (int line = 0; line < kLineCount; ++line) {
    if (doc_.line(line).runFlag == 1) return;
  }
  std::string error;
  if (!doc_.OnNewDocument(doc_.ProgramFolder(), &error)) {
    form_.Message(error);
    return;
  }
  // Line 1 (a station: every line) goes on with the release written out at
  // start-up; the start-up itself (the single-instance mutex, the port
  // watch) is not run again.
  for (int line = 0; line < (doc_.assignment().Enabled() ? kLineCount : 1); ++line)
    PointAtExtractedRelease(doc_, line);
  document_path_.clear();
  ShowFirstLinePaths();
  for (int line = 0; line < kLineCount; ++line) {
    ShowLinePort(doc_, form_, line);
    ShowLineVersion(doc_, form_, line);
  }
  ApplyReadyRule();
}

void CQuorrelView::SaveDocument() {
  // The first save asks where; later ones write the same file again.
  std::string path = document_path_;
  if (path.empty()) {
    std::optional<std::string> chosen = form_.ChooseSaveFile(kDocumentFilter, kUntitledDocument);
    if (!chosen || chosen->empty()) return;
    path = *chosen;
  }
  std::string error;
  if (!doc_.SaveToFile(path, &error)) {
    form_.Message(error);
    return;
  }
  document_path_ = path;
}

void CQuorrelView::SetLineMode(int line, LineMode mode) {
  doc_.line(line).lineMode = mode;
  for (LineMode m :
       {LineMode::Download, LineMode::Repair, LineMode::BackupNv, LineMode::RestoreNv}) {
    form_.SetChecked(ModeButton(line, m), m == mode);
  }
}

void CQuorrelView::SetNvOption(int option) {
  doc_.nvOption = option;
  for (int o = 0; o < 4; ++o) form_.SetChecked(kNvOptionButtons[o], o == option);
}

void CQuorrelView::ChooseFile(int editId, std::string_view filter, Path260 SettingsRecord::*field) {
  std::optional<std::string> path = form_.ChooseFile(filter);
  if (!path) return;
  if (!Path260::Fits(*path)) {
    form_.Message(Format("The path is too long: %s", path->c_str()));
    return;
  }
  for (int line = 0; line < kLineCount; ++line) (void)(doc_.line(line).settings.*field).Set(*path);
  form_.SetControlText(editId, *path);
}

void CQuorrelView::ReleaseOrReconnectAll() {
  const bool release = !form_.PortsReleased();
  JobEnvironment env = StandardJobEnvironment(doc_, form_);
  for (int line = 0; line < kLineCount; ++line) {
    if (release) {
      // The watch stops touching the port before it closes.
      controller_.SuspendPortWatch(line, true);
      CloseDiagPort(env, line);
    } else {
      if (doc_.line(line).settings.diagPort > 0) OpenDiagPort(env, line);
      controller_.ResumePortWatch(line);
    }
  }
  form_.SetPortsReleased(release);
  form_.SetControlText(kReleaseAll, release ? "全部连接" : "全部释放");
  for (int line = 0; line < kLineCount; ++line) form_.UpdateControls(line, !release);
  if (!release) ApplyReadyRule();
  form_.EnableControl(kRestoreAllPorts, true);
  form_.EnableControl(kReleaseAll, true);
}

void CQuorrelView::RestorePort(int line) {
  const int button = RestorePortButton(line);
  if (!form_.Control(button).enabled) return;
  LineJob& job = doc_.line(line);
  if (job.settings.atPort == 0) {
    form_.StatusLine(line, kDataPortZeroText, true);
    return;
  }
  // The data port is the line's until the switch is done: the watch leaves
  // it alone, and it is open through the wait.
  controller_.SuspendPortWatch(line, true);
  if (!OpenRestorePort(line)) {
    controller_.ResumePortWatch(line);
    return;
  }
  form_.EnableControl(button, false);
  RunLater(kRestoreDelayMs, [this, line] { FinishRestorePort(line); });
}

bool CQuorrelView::OpenRestorePort(int line) {
  const int port = doc_.line(line).settings.atPort.get();
  if (doc_.OpenAtPort(line, port, CQuorrelDoc::kBaudRate) != 0) return true;
  form_.StatusLine(line, Format("Data port COM%d cannot be opened", port), true);
  return false;
}

void CQuorrelView::FinishRestorePort(int line) {
  if (shut_down_) return;
  LineJob& job = doc_.line(line);
  const bool on = !diag_switched_on_[static_cast<size_t>(line)];
  diag_switched_on_[static_cast<size_t>(line)] = on;
  // A job started meanwhile has the line's ports to itself.
  if (job.runFlag == 1) {
    form_.EnableControl(RestorePortButton(line), true);
    return;
  }
  // A job that started and ended during the wait resumed the watch and may
  // have closed the port.
  controller_.SuspendPortWatch(line, true);
  if (doc_.at(line).port.IsOpen() || OpenRestorePort(line)) {
    if (on) {
      const bool switched = doc_.EnableDiagPort(line);
      std::string version;
      if (!doc_.at(line).GetVersion(version)) version = kNoPhoneText;
      (void)job.SetVersionText(version);
      form_.StatusLine(
          line,
          switched ? "Diagnostic port switched on" : "Diagnostic port could not be switched on",
          true);
    } else {
      const bool switched = doc_.DisableDiagPort(line);
      (void)job.SetVersionText("");
      form_.StatusLine(
          line,
          switched ? "Diagnostic port switched off" : "Diagnostic port could not be switched off",
          true);
    }
    ShowLineVersion(doc_, form_, line);
  }
  doc_.CloseAtPort(line);
  form_.EnableControl(RestorePortButton(line), true);
  controller_.ResumePortWatch(line);
}

void CQuorrelView::OpenHelp() {
  const std::string path = ProgramDataFile(kHelpFile);
  if (!ShellOpen(ShellRequest{"Open", path, "", ShowCommand::Normal})) {
    form_.Message(Format("Cannot open %s", MapPath(path).string().c_str()));
  }
}

void CQuorrelView::RunLater(uint32_t ms, std::function<void()> fn) {
  if (hooks_.runLater) {
    hooks_.runLater(ms, std::move(fn));
    return;
  }
  doc_.clock().Sleep(ms);
  fn();
}

void CQuorrelView::ApplyReadyRule() {
  if (NoPhoneShown(doc_.line(0).VersionText())) form_.EnableControl(kDownload, false);
}

bool CQuorrelView::ConfirmClose() {
  for (int line = 0; line < kLineCount; ++line) {
    if (doc_.line(line).runFlag == 1) {
      MessageResult answer = form_.MessageBox(MessageBoxRequest{
          kCloseQuestion, kWarningCaption, MessageButtons::YesNo, MessageIcon::Stop});
      return answer == MessageResult::Yes;
    }
  }
  return true;
}

void CQuorrelView::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  controller_.Shutdown();
  mutex_.reset();
}

void CQuorrelView::OnDestroy() {
  CleanUpOnDestroy(doc_, [] { RunDriverUninstaller(); });
}

}  // namespace quorrel
