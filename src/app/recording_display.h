// A LineDisplay that records every call, for tests of the code that reports
// through it. Message boxes and the folder browser are answered by handlers
// (OK and "cancelled" when none is set); log texts are kept as the form keeps
// them, with time stamps from the current local-time source.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "lines/line_display.h"
#include "lines/line_slot.h"

namespace quorrel {

struct DisplayEvent {
  enum class Kind {
    ShowStatus,
    SetProgress,
    UpdateControls,
    FinishDisplay,
    StatusLine,
    JobEnd,
    ClearLogText,
    AppendLogText,
    PortText,
    VersionText,
    ControlText,
    EnableControl,
    MessageBox,
    BrowseForFolder,
  };
  Kind kind;
  int line = -1;     // the line, or the control id for ControlText/EnableControl
  int value = 0;     // status kind, percent, end kind, enabled/startEnabled, time-stamp flag
  std::string text;  // status text, message text, caption of a box in detail
  std::string detail;
};

class RecordingDisplay : public LineDisplay {
 public:
  using MessageBoxHandler = std::function<MessageResult(const MessageBoxRequest&)>;
  using FolderBrowser = std::function<std::optional<std::string>(std::string_view title)>;

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

  void SetMessageBoxHandler(MessageBoxHandler handler);
  void SetFolderBrowser(FolderBrowser browser);

  std::vector<DisplayEvent> Events() const;
  std::vector<DisplayEvent> Events(DisplayEvent::Kind kind) const;
  // The texts of the message boxes shown so far, in order.
  std::vector<std::string> Messages() const;
  // The texts of the status lines (and job ends) so far, without time stamps.
  std::vector<std::string> StatusTexts(int line) const;
  void Clear();

 private:
  void Record(DisplayEvent event);

  mutable std::mutex mutex_;
  std::vector<DisplayEvent> events_;
  std::string log_texts_[kLineCount];
  MessageBoxHandler message_box_;
  FolderBrowser folder_browser_;
};

}  // namespace quorrel
