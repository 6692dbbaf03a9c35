#include "app/form_model.h"

#include <algorithm>

#include "app/logs.h"
#include "download/dmss.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "release/embedded_resources.h"
#include "services/diag_commands.h"
#include "util/text.h"

namespace quorrel {

namespace {

using namespace controls;

// The controls that a running line (or released ports) disables. The
// erase-boot check box is not among them: it stays ticked and disabled, as
// start-up leaves it.
constexpr int kIdleOnly[] = {kProgrammerButton,
                             kBootFileButton,
                             kNvDirectoryButton,
                             kDefaultNvButton,
                             kNoBackupNv,
                             kRestoreRfNv,
                             kRestoreRfNvImei,
                             kLoadDefaultNv,
                             kRestoreAllPorts,
                             kReleaseAll,
                             kSoftwareVersion,
                             1040,
                             1042,
                             1043,
                             kDownload};

struct StatusPicture {
  int bitmap;
  const char* failure;
};

constexpr StatusPicture kPictures[] = {
    {kBitmapReady, "Load Ready图标失败!"},
    {kBitmapRunning, "Load Running图标失败!"},
    {kBitmapPass, "Load Pass图标失败!"},
    {kBitmapFail, "Load Fail图标失败!"},
};

}  // namespace

FormModel::FormModel(CQuorrelDoc& doc, std::string startupDirectory)
    : doc_(doc),
      startup_directory_(std::move(startupDirectory)),
      phone_resetter_([](PhoneLink& link, bool downloadMode) {
        if (downloadMode) {
          DmssReset(link);
        } else {
          ResetPhone(link);
        }
      }),
      resources_(&EmbeddedResources()) {
  for (const TemplateControl& entry : FormTemplate()) {
    if (entry.id == kNoControlId) continue;
    ControlState& c = controls_[entry.id];
    c.kind = entry.kind;
    c.text = entry.text;
    c.visible = (entry.style & style::kVisible) != 0;
  }
}

ControlState& FormModel::ControlLocked(int id) {
  return controls_[id];
}

void FormModel::Changed(int id) {
  ControlListener listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener = listener_;
  }
  if (listener) listener(id);
}

void FormModel::ShowStatus(int line, int kind) {
  if (kind < kStatusReady || kind > kStatusFail) {
    Message("出现不可知的状态类型!");
    return;
  }
  const StatusPicture& picture = kPictures[kind];
  const ResourceTable* resources;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resources = resources_;
  }
  if (resources == nullptr || !resources->Find(picture.bitmap, "BITMAP")) {
    Message(picture.failure);
    return;
  }
  if (!ValidLine(line)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlLocked(StatusIcon(line)).image = picture.bitmap;
    // A new start: the last job's failure may give way.
    if (kind == kStatusReady || kind == kStatusRunning) failure_shown_[line] = false;
  }
  Changed(StatusIcon(line));
}

void FormModel::SetProgress(int line, int percent) {
  if (!ValidLine(line)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState& bar = ControlLocked(ProgressBar(line));
    if (percent == 0) {
      bar.rangeLow = 0;
      bar.rangeHigh = 100;
      bar.position = 0;
    } else {
      bar.position = std::clamp(percent, bar.rangeLow, bar.rangeHigh);
    }
    ControlLocked(ProgressText(line)).text = Format("%d/100", std::min(percent, 100));
  }
  Changed(ProgressBar(line));
  Changed(ProgressText(line));
}

void FormModel::SetBarPosition(int id, int position) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlState& bar = ControlLocked(id);
    bar.position = std::clamp(position, bar.rangeLow, bar.rangeHigh);
  }
  Changed(id);
}

void FormModel::UpdateControls(int line, bool startEnabled) {
  bool anyBusy = false;
  bool allBusy = true;
  for (int i = 0; i < kLineCount; ++i) {
    bool running = doc_.line(i).runFlag == 1;
    anyBusy = anyBusy || running;
    allBusy = allBusy && running;
  }
  std::vector<int> changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    anyBusy = anyBusy || ports_released_;
    allBusy = allBusy || ports_released_;
    auto set = [&](int id, bool enabled) {
      ControlLocked(id).enabled = enabled;
      changed.push_back(id);
    };
    for (int id : kIdleOnly) set(id, !anyBusy);
    for (int i = 0; i < kLineCount; ++i) set(RestorePortButton(i), !anyBusy);
    set(kAllStop, anyBusy);
    set(kAllStart, !allBusy);
    if (ValidLine(line)) {
      set(StartButton(line), startEnabled);
      set(StopButton(line), !startEnabled);
    }
  }
  for (int id : changed) Changed(id);
}

void FormModel::FinishDisplay(int line, EndKind endKind, bool downloadMode) {
  if (!ValidLine(line)) return;
  const bool pass = Passed(endKind);
  ShowStatus(line, pass ? kStatusPass : kStatusFail);
  if (!pass) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_shown_[line] = true;
  }
  if (RestartsPhone(endKind)) {
    doc_.line(line).phoneState = PhoneState::NoAnswer;
    PhoneResetter resetter;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      resetter = phone_resetter_;
    }
    if (resetter) resetter(doc_.link(line), downloadMode);
  }
  if (endKind == EndKind::FailManualRestart && downloadMode) {
    Message(Format("线路%d任务失败，请手动重启相应手机", line + 1));
  }
  doc_.line(line).runFlag = 0;
  UpdateControls(line, true);
  SetBarPosition(ProgressBar(line), 0);
  SetProgress(line, 0);
  LineHook resumer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resumer = port_watch_resumer_;
  }
  if (resumer) resumer(line);
}

std::string FormModel::StatusStamp() const {
  return StatusTimeStamp(CurrentLocalTime());
}

void FormModel::StatusLine(int line, std::string_view text, bool withTimeStamp) {
  if (!ValidLine(line)) return;
  std::string entry = withTimeStamp ? StatusStamp() : std::string();
  entry += text;
  entry += '\n';
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_texts_[line] += entry;
    ControlLocked(StateText(line)).text = text;
  }
  Changed(StateText(line));
}

void FormModel::JobEnd(int line, std::string_view text, EndKind endKind) {
  if (!ValidLine(line)) return;
  StatusLine(line, text, true);
  std::string stamp = FileTimeStamp(CurrentLocalTime());
  EnsureDirectory(LogFolder(startup_directory_));
  std::optional<File> file = File::OpenWrite(ActionLogPath(startup_directory_, line + 1, stamp));
  if (file) file->Write(ToFileText(LogText(line)));
  StatusLine(line, text, true);
  bool downloadMode = doc_.link(line).Protocol() == LinkProtocol::Dmss;
  FinishDisplay(line, endKind, downloadMode);
  if (file) file->Close();
}

void FormModel::ClearLogText(int line) {
  if (!ValidLine(line)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  log_texts_[line].clear();
}

void FormModel::AppendLogText(int line, std::string_view text) {
  if (!ValidLine(line)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  log_texts_[line] += text;
}

std::string FormModel::LogText(int line) const {
  if (!ValidLine(line)) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return log_texts_[line];
}

void FormModel::SetPortText(int line, std::string_view text) {
  if (!ValidLine(line)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port_texts_[line] = text;
    ControlLocked(controls::PortText(line)).text = text;
  }
  Changed(controls::PortText(line));
}

void FormModel::SetVersionText(int line, std::string_view text) {
  if (!ValidLine(line)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    version_texts_[line] = text;
    ControlLocked(controls::VersionText(line)).text = text;
  }
  Changed(controls::VersionText(line));
}

void FormModel::SetControlText(int id, std::string_view text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A failed job's last words stay in its state line until the line is
    // started again; the port watch's ready and wait texts do not cover them.
    for (int line = 0; line < kLineCount; ++line) {
      if (failure_shown_[line] && id == StateText(line)) return;
    }
    ControlLocked(id).text = text;
  }
  Changed(id);
}

void FormModel::EnableControl(int id, bool enabled) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlLocked(id).enabled = enabled;
  }
  Changed(id);
}

void FormModel::SetChecked(int id, bool checked) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlLocked(id).checked = checked;
  }
  Changed(id);
}

void FormModel::SetIcon(int id, int icon) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlLocked(id).icon = icon;
  }
  Changed(id);
}

void FormModel::ShowStation(bool shown) {
  std::vector<int> changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    station_shown_ = shown;
    for (const TemplateControl& entry : FormTemplate()) {
      if (entry.id == kNoControlId || (entry.style & style::kVisible) != 0) continue;
      ControlLocked(entry.id).visible = shown && (entry.style & style::kStation) != 0;
      changed.push_back(entry.id);
    }
  }
  for (int id : changed) Changed(id);
}

bool FormModel::StationShown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return station_shown_;
}

DialogSize FormModel::FormSize() const {
  return StationShown() ? kStationFormSize : kFormSize;
}

void FormModel::SetTitle(std::string_view title) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    title_ = title;
  }
  Changed(kTitleChanged);
}

std::string FormModel::Title() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return title_;
}

void FormModel::SetFileChooser(FileChooser chooser) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_chooser_ = std::move(chooser);
}

std::optional<std::string> FormModel::ChooseFile(std::string_view filter) {
  FileChooser chooser;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chooser = file_chooser_;
  }
  if (chooser) return chooser(filter);
  return std::nullopt;
}

void FormModel::SetSaveFileChooser(SaveFileChooser chooser) {
  std::lock_guard<std::mutex> lock(mutex_);
  save_file_chooser_ = std::move(chooser);
}

std::optional<std::string> FormModel::ChooseSaveFile(std::string_view filter,
                                                     std::string_view name) {
  SaveFileChooser chooser;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chooser = save_file_chooser_;
  }
  if (chooser) return chooser(filter, name);
  return std::nullopt;
}

void FormModel::SetControlVisible(int id, bool visible) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ControlLocked(id).visible = visible;
  }
  Changed(id);
}

MessageResult FormModel::MessageBox(const MessageBoxRequest& request) {
  MessageBoxHandler handler;
  MessageBoxRequest shown = request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = message_box_;
    if (shown.caption.empty()) shown.caption = title_.empty() ? std::string(kMainTitle) : title_;
  }
  if (handler) return handler(shown);
  return request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
}

std::optional<std::string> FormModel::BrowseForFolder(std::string_view title) {
  FolderBrowser browser;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    browser = folder_browser_;
  }
  if (browser) return browser(title);
  return std::nullopt;
}

ControlState FormModel::Control(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls_.find(id);
  return it == controls_.end() ? ControlState{} : it->second;
}

std::string FormModel::PortText(int line) const {
  if (!ValidLine(line)) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return port_texts_[line];
}

std::string FormModel::VersionText(int line) const {
  if (!ValidLine(line)) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return version_texts_[line];
}

void FormModel::SetPortsReleased(bool released) {
  std::lock_guard<std::mutex> lock(mutex_);
  ports_released_ = released;
}

bool FormModel::PortsReleased() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_released_;
}

void FormModel::SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  message_box_ = std::move(handler);
}

void FormModel::SetFolderBrowser(FolderBrowser browser) {
  std::lock_guard<std::mutex> lock(mutex_);
  folder_browser_ = std::move(browser);
}

void FormModel::SetPhoneResetter(PhoneResetter resetter) {
  std::lock_guard<std::mutex> lock(mutex_);
  phone_resetter_ = std::move(resetter);
}

void FormModel::SetPortWatchResumer(LineHook resumer) {
  std::lock_guard<std::mutex> lock(mutex_);
  port_watch_resumer_ = std::move(resumer);
}

void FormModel::SetControlListener(ControlListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void FormModel::SetResources(const ResourceTable* resources) {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_ = resources;
}

}  // namespace quorrel
