#include "app/recording_display.h"

#include "app/logs.h"
#include "platform/local_time.h"

namespace quorrel {

namespace {
bool Valid(int line) {
  return line >= 0 && line < kLineCount;
}
}  // namespace

void RecordingDisplay::Record(DisplayEvent event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingDisplay::ShowStatus(int line, int kind) {
  Record({DisplayEvent::Kind::ShowStatus, line, kind, {}, {}});
}

void RecordingDisplay::SetProgress(int line, int percent) {
  Record({DisplayEvent::Kind::SetProgress, line, percent, {}, {}});
}

void RecordingDisplay::UpdateControls(int line, bool startEnabled) {
  Record({DisplayEvent::Kind::UpdateControls, line, startEnabled ? 1 : 0, {}, {}});
}

void RecordingDisplay::FinishDisplay(int line, EndKind endKind, bool downloadMode) {
  Record({DisplayEvent::Kind::FinishDisplay,
          line,
          static_cast<int>(endKind),
          {},
          downloadMode ? "download" : ""});
}

void RecordingDisplay::StatusLine(int line, std::string_view text, bool withTimeStamp) {
  std::string entry = withTimeStamp ? StatusTimeStamp(CurrentLocalTime()) : std::string();
  entry += text;
  entry += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  if (Valid(line)) log_texts_[line] += entry;
  events_.push_back(
      {DisplayEvent::Kind::StatusLine, line, withTimeStamp ? 1 : 0, std::string(text), {}});
}

void RecordingDisplay::JobEnd(int line, std::string_view text, EndKind endKind) {
  Record({DisplayEvent::Kind::JobEnd, line, static_cast<int>(endKind), std::string(text), {}});
}

void RecordingDisplay::ClearLogText(int line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Valid(line)) log_texts_[line].clear();
  events_.push_back({DisplayEvent::Kind::ClearLogText, line, 0, {}, {}});
}

void RecordingDisplay::AppendLogText(int line, std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Valid(line)) log_texts_[line] += text;
  events_.push_back({DisplayEvent::Kind::AppendLogText, line, 0, std::string(text), {}});
}

std::string RecordingDisplay::LogText(int line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Valid(line) ? log_texts_[line] : std::string();
}

void RecordingDisplay::SetPortText(int line, std::string_view text) {
  Record({DisplayEvent::Kind::PortText, line, 0, std::string(text), {}});
}

void RecordingDisplay::SetVersionText(int line, std::string_view text) {
  Record({DisplayEvent::Kind::VersionText, line, 0, std::string(text), {}});
}

void RecordingDisplay::SetControlText(int id, std::string_view text) {
  Record({DisplayEvent::Kind::ControlText, id, 0, std::string(text), {}});
}

void RecordingDisplay::EnableControl(int id, bool enabled) {
  Record({DisplayEvent::Kind::EnableControl, id, enabled ? 1 : 0, {}, {}});
}

MessageResult RecordingDisplay::MessageBox(const MessageBoxRequest& request) {
  Record({DisplayEvent::Kind::MessageBox, -1, static_cast<int>(request.icon), request.text,
          request.caption});
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = message_box_;
  }
  if (handler) return handler(request);
  return request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
}

std::optional<std::string> RecordingDisplay::BrowseForFolder(std::string_view title) {
  Record({DisplayEvent::Kind::BrowseForFolder, -1, 0, std::string(title), {}});
  FolderBrowser browser;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    browser = folder_browser_;
  }
  if (browser) return browser(title);
  return std::nullopt;
}

void RecordingDisplay::SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  message_box_ = std::move(handler);
}

void RecordingDisplay::SetFolderBrowser(FolderBrowser browser) {
  std::lock_guard<std::mutex> lock(mutex_);
  folder_browser_ = std::move(browser);
}

std::vector<DisplayEvent> RecordingDisplay::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<DisplayEvent> RecordingDisplay::Events(DisplayEvent::Kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<DisplayEvent> out;
  for (const DisplayEvent& e : events_) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<std::string> RecordingDisplay::Messages() const {
  std::vector<std::string> out;
  for (const DisplayEvent& e : Events(DisplayEvent::Kind::MessageBox)) out.push_back(e.text);
  return out;
}

std::vector<std::string> RecordingDisplay::StatusTexts(int line) const {
  std::vector<std::string> out;
  for (const DisplayEvent& e : Events()) {
    if ((e.kind == DisplayEvent::Kind::StatusLine || e.kind == DisplayEvent::Kind::JobEnd) &&
        e.line == line) {
      out.push_back(e.text);
    }
  }
  return out;
}

void RecordingDisplay::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

}  // namespace quorrel
