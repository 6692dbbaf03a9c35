#include "cli/cli_display.h"

#include <chrono>

#include "app/logs.h"
#include "platform/local_time.h"

namespace quorrel::cli {

namespace {

constexpr char kReadyPrompt[] = "Готово. Нажмите кнопку для начала обновления";
constexpr int kBarWidth = 40;

}  // namespace

CliDisplay::CliDisplay(CQuorrelDoc& doc, std::string startupDirectory, std::FILE* out, bool terminal)
    : FormModel(doc, std::move(startupDirectory)), out_(out), terminal_(terminal) {}

void CliDisplay::EndBarLocked() {
  if (bar_shown_) {
    std::fputc('\n', out_);
    bar_shown_ = false;
  }
}

void CliDisplay::PrintLocked(std::string_view text) {
  EndBarLocked();
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CliDisplay::Say(std::string_view text) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  PrintLocked(text);
}

void CliDisplay::SetProgress(int line, int percent) {
  FormModel::SetProgress(line, percent);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (percent == last_progress_) return;
  last_progress_ = percent;
  const int shown = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  if (terminal_) {
    const int filled = shown * kBarWidth / 100;
    std::string bar = "\r[" + std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] " +
                      std::to_string(shown) + "/100";
    std::fwrite(bar.data(), 1, bar.size(), out_);
    std::fflush(out_);
    bar_shown_ = true;
  } else {
    PrintLocked("progress " + std::to_string(shown) + "/100");
  }
}

void CliDisplay::StatusLine(int line, std::string_view text, bool withTimeStamp) {
  FormModel::StatusLine(line, text, withTimeStamp);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  last_status_ = text;
  std::string shown = withTimeStamp ? StatusTimeStamp(CurrentLocalTime()) : std::string();
  shown += text;
  PrintLocked(shown);
}

void CliDisplay::JobEnd(int line, std::string_view text, EndKind endKind) {
  if (line == 0) {
    std::lock_guard<std::mutex> lock(print_mutex_);
    last_end_kind_ = endKind;
  }
  FormModel::JobEnd(line, text, endKind);
}

void CliDisplay::SetPortText(int line, std::string_view text) {
  FormModel::SetPortText(line, text);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (text == last_port_) return;
  last_port_ = text;
  PrintLocked("port: " + std::string(text));
}

void CliDisplay::SetVersionText(int line, std::string_view text) {
  FormModel::SetVersionText(line, text);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (text == last_version_) return;
  last_version_ = text;
  PrintLocked("version: " + std::string(text));
}

void CliDisplay::SetControlText(int id, std::string_view text) {
  FormModel::SetControlText(id, text);
  if (id != controls::kStateLine) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  const bool ready = text == kReadyPrompt;
  if (ready != ready_) {
    ready_ = ready;
    ready_changed_.notify_all();
  }
}

MessageResult CliDisplay::MessageBox(const MessageBoxRequest& request) {
  {
    std::lock_guard<std::mutex> lock(print_mutex_);
    last_box_ = request.text;
    std::string shown = "message";
    if (!request.caption.empty()) shown += " [" + request.caption + "]";
    shown += ": " + request.text;
    PrintLocked(shown);
  }
  return request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
}

bool CliDisplay::WaitUntilReady(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock<std::mutex> lock(print_mutex_);
  if (!timeout) {
    ready_changed_.wait(lock, [this] { return ready_; });
    return true;
  }
  return ready_changed_.wait_for(lock, *timeout, [this] { return ready_; });
}

std::optional<EndKind> CliDisplay::LastEndKind() const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return last_end_kind_;
}

std::string CliDisplay::LastBox() const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return last_box_;
}

std::string CliDisplay::LastStatus() const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return last_status_;
}

}  // namespace quorrel::cli
