// The main form without a toolkit: every control's text, enabled and visible
// state, progress and picture, the per-line texts and log texts, and the
// display operations over them. A front end shows this state (it is told of
// each change through the control listener) and answers the dialogs.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/form_layout.h"
#include "lines/control_ids.h"
#include "lines/document.h"
#include "lines/line_display.h"
#include "platform/resources.h"

namespace quorrel {

struct ControlState {
  ControlKind kind = ControlKind::Static;
  std::string text;
  bool enabled = true;
  bool visible = false;
  // Radio buttons and check boxes.
  bool checked = false;
  // Buttons: the icon resource shown with the text, 0 for none.
  int icon = 0;
  // Progress bars.
  int rangeLow = 0;
  int rangeHigh = 100;
  int position = 0;
  // Status pictures: the bitmap resource shown, 0 for none.
  int image = 0;
};

// Bitmap resources of the status pictures.
inline constexpr int kBitmapFail = 149;
inline constexpr int kBitmapPass = 150;
inline constexpr int kBitmapReady = 151;
inline constexpr int kBitmapRunning = 152;
// Icons of the start and stop buttons, and of the program.
inline constexpr int kIconStart = 140;
inline constexpr int kIconStop = 141;
inline constexpr int kIconProgram = 128;

// What the control listener is told when the window title changed.
inline constexpr int kTitleChanged = 0;

// The main window's title, and the caption of every box that names none.
inline constexpr char kMainTitle[] = "ПО обновления для Pellam ZID Россия";

class FormModel : public LineDisplay {
 public:
  using MessageBoxHandler = std::function<MessageResult(const MessageBoxRequest&)>;
  using FolderBrowser = std::function<std::optional<std::string>(std::string_view title)>;
  using PhoneResetter = std::function<void(PhoneLink& link, bool downloadMode)>;
  using LineHook = std::function<void(int line)>;
  using ControlListener = std::function<void(int id)>;
  // An open-file dialog for one existing file; the filter in the
  // "Description | patterns;||" form. nullopt when cancelled.
  using FileChooser = std::function<std::optional<std::string>(std::string_view filter)>;
  // A save-file dialog: the filter as above and the name it proposes; the
  // path chosen (an existing file only once the user agreed to replace
  // it), nullopt when cancelled.
  using SaveFileChooser =
      std::function<std::optional<std::string>(std::string_view filter, std::string_view name)>;

  // startupDirectory: the current directory when the program started, the
  // base of the Logs folder.
  FormModel(CQuorrelDoc& doc, std::string startupDirectory);

  // ---- LineDisplay ----
  void ShowStatus(int line, int kind) override;
  void SetProgress(int line, int percent) override;
  void UpdateControls(int line, bool startEnabled) override;
  void FinishDisplay(int line, EndKind endKind, bool downloadMode) override;
  void StatusLine(int line, std::string_view text, bool withTimeStamp) override;
  void JobEnd(int line, std::string_view text, EndKind endKind) override;
  void ClearLogText(int line) override;
  void AppendLogText(int line, std::string_view text) override;
  std::string LogText(int line) const override;
  void SetPortText(int line, std::string_view text) override;
  void SetVersionText(int line, std::string_view text) override;
  void SetControlText(int id, std::string_view text) override;
  void EnableControl(int id, bool enabled) override;
  MessageResult MessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> BrowseForFolder(std::string_view title) override;

  // ---- state for the front ends and tests ----
  ControlState Control(int id) const;
  std::string PortText(int line) const;
  std::string VersionText(int line) const;
  const std::string& StartupDirectory() const { return startup_directory_; }
  CQuorrelDoc& doc() { return doc_; }

  // The "released" flag of the release/reconnect command: counts as a
  // running line for the enabling rules.
  void SetPortsReleased(bool released);
  bool PortsReleased() const;

  void SetControlVisible(int id, bool visible);
  void SetChecked(int id, bool checked);
  void SetIcon(int id, int icon);
  // Shows the controls of every line and the options (the station form), or
  // only line 1's.
  void ShowStation(bool shown);
  bool StationShown() const;
  // The size of the form shown, in dialog units.
  DialogSize FormSize() const;
  void SetTitle(std::string_view title);
  std::string Title() const;
  // Sets a progress bar's position directly (clamped to its range).
  void SetBarPosition(int id, int position);

  // ---- hooks ----
  // Answers message boxes (blocking); without one every box is answered OK
  // (Yes for a Yes/No box). A box without a caption reaches it with the
  // main window's title, also before the window has one.
  void SetMessageBoxHandler(MessageBoxHandler handler);
  void SetFolderBrowser(FolderBrowser browser);
  void SetFileChooser(FileChooser chooser);
  std::optional<std::string> ChooseFile(std::string_view filter);
  void SetSaveFileChooser(SaveFileChooser chooser);
  std::optional<std::string> ChooseSaveFile(std::string_view filter, std::string_view name);
  // Restarts a phone at a job's end. By default the downloader's reset in
  // download mode, the diagnostic reset otherwise.
  void SetPhoneResetter(PhoneResetter resetter);
  // Resumes the line's port-watch thread when its job ends.
  void SetPortWatchResumer(LineHook resumer);
  void SetControlListener(ControlListener listener);
  // Where the status pictures come from (the linked-in resources by default).
  void SetResources(const ResourceTable* resources);

 private:
  ControlState& ControlLocked(int id);
  void Changed(int id);
  std::string StatusStamp() const;

  CQuorrelDoc& doc_;
  const std::string startup_directory_;
  mutable std::mutex mutex_;
  std::map<int, ControlState> controls_;
  std::string log_texts_[kLineCount];
  std::string port_texts_[kLineCount];
  std::string version_texts_[kLineCount];
  // The line's last job failed and nothing has started on it since.
  bool failure_shown_[kLineCount] = {};
  bool ports_released_ = false;
  bool station_shown_ = false;
  std::string title_;
  MessageBoxHandler message_box_;
  FolderBrowser folder_browser_;
  FileChooser file_chooser_;
  SaveFileChooser save_file_chooser_;
  PhoneResetter phone_resetter_;
  LineHook port_watch_resumer_;
  ControlListener listener_;
  const ResourceTable* resources_;
};

}  // namespace quorrel
