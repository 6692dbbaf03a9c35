// How the line jobs report to the user: the display operations, the line's
// log and texts, and the modal dialogs. The form model implements it for the
// front ends; RecordingDisplay records the calls for tests.
//
// Called from the line's threads as well as from the user-interface thread.
// A message box blocks its caller until the user answers it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorrel {

// Status pictures of a line.
inline constexpr int kStatusReady = 0;
inline constexpr int kStatusRunning = 1;
inline constexpr int kStatusPass = 2;
inline constexpr int kStatusFail = 3;

// How a line's job ended: whether it passed, and what becomes of the phone.
// The values are the ones the action log and the tests know.
enum class EndKind : int {
  PassRestart = 0,  // passed; the phone is restarted
  Pass = 1,
  FailRestart = 2,  // failed; the phone is restarted
  Fail = 3,
  WriteFailRestart = 4,   // the release could not be written; the phone is restarted
  FailManualRestart = 5,  // failed; in download mode the user is asked to restart the phone
};

inline bool Passed(EndKind kind) {
  return kind == EndKind::PassRestart || kind == EndKind::Pass;
}
inline bool RestartsPhone(EndKind kind) {
  return kind == EndKind::PassRestart || kind == EndKind::FailRestart ||
         kind == EndKind::WriteFailRestart;
}

enum class MessageButtons { Ok, YesNo };
enum class MessageIcon { None, Information, Warning, Error, Stop };
enum class MessageResult { Ok = 1, Yes = 6, No = 7 };

struct MessageBoxRequest {
  std::string text;
  std::string caption;  // empty: the application's title
  MessageButtons buttons = MessageButtons::Ok;
  MessageIcon icon = MessageIcon::None;
};

class LineDisplay {
 public:
  virtual ~LineDisplay() = default;

  // ---- display operations ----
  // The line's status picture (kStatusReady … kStatusFail).
  virtual void ShowStatus(int line, int kind) = 0;
  // 0 resets the bar; the text shows "%d/100" with at most 100.
  virtual void SetProgress(int line, int percent) = 0;
  // The enabled state of the form for a change on one line.
  virtual void UpdateControls(int line, bool startEnabled) = 0;
  // The display update when a line's job ends.
  virtual void FinishDisplay(int line, EndKind endKind, bool downloadMode) = 0;

  // ---- the line's log ----
  // Appends the text (after a time stamp when asked) and a line feed to the
  // line's log text and shows the text in the line's state control.
  virtual void StatusLine(int line, std::string_view text, bool withTimeStamp) = 0;
  // Records the final message, writes the action log file and finishes the
  // display.
  virtual void JobEnd(int line, std::string_view text, EndKind endKind) = 0;
  virtual void ClearLogText(int line) = 0;
  virtual void AppendLogText(int line, std::string_view text) = 0;
  virtual std::string LogText(int line) const = 0;

  // ---- the line's texts and single controls ----
  virtual void SetPortText(int line, std::string_view text) = 0;
  virtual void SetVersionText(int line, std::string_view text) = 0;
  virtual void SetControlText(int id, std::string_view text) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;

  // ---- modal dialogs ----
  virtual MessageResult MessageBox(const MessageBoxRequest& request) = 0;
  // The folder the user picked, or nullopt when cancelled.
  virtual std::optional<std::string> BrowseForFolder(std::string_view title) = 0;

  // An OK box with no icon and the application's title.
  MessageResult Message(std::string_view text) {
    return MessageBox(
        MessageBoxRequest{std::string(text), "", MessageButtons::Ok, MessageIcon::None});
  }
};

}  // namespace quorrel
