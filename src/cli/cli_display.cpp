#include "cli/cli_display.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "app/logs.h"
#include "platform/local_time.h"

namespace quorrel::cli {

namespace {

constexpr char kReadyPrompt[] = "Готово. Нажмите кнопку для начала обновления";
constexpr int kBarWidth = 40;

// A JSON string; texts that are not UTF-8 are mended, never refused.
std::string Quoted(std::string_view text) {
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

CliDisplay::CliDisplay(CQuorrelDoc& doc, std::string startupDirectory, std::FILE* out,
                       bool terminal)
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

void CliDisplay::SetJson(bool json) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  json_ = json;
}

void CliDisplay::EventLocked(std::string_view event, std::string_view fields) {
  std::string text = "{\"event\":" + Quoted(event);
  if (!fields.empty()) text += "," + std::string(fields);
  text += "}";
  PrintLocked(text);
}

void CliDisplay::Say(std::string_view text) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (json_) {
    EventLocked("message", "\"text\":" + Quoted(text));
  } else {
    PrintLocked(text);
  }
}

void CliDisplay::Result(int exitCode, std::string_view reason, std::string_view recordJson) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (json_) {
    EventLocked("result", "\"exit_code\":" + std::to_string(exitCode) +
                              ",\"reason\":" + Quoted(reason) + ",\"record\":" +
                              (recordJson.empty() ? std::string("null") : std::string(recordJson)));
  } else if (exitCode == 0) {
    PrintLocked("result: success");
  } else {
    PrintLocked("result: failed (" + std::to_string(exitCode) + "): " + std::string(reason));
  }
}

void CliDisplay::SetProgress(int line, int percent) {
  FormModel::SetProgress(line, percent);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (percent == last_progress_) return;
  last_progress_ = percent;
  const int shown = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  if (json_) {
    EventLocked("progress", "\"line\":1,\"percent\":" + std::to_string(shown));
  } else if (terminal_) {
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
  if (json_) {
    EventLocked("status", "\"line\":1,\"text\":" + Quoted(text));
    return;
  }
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
  if (json_) {
    EventLocked("port", "\"line\":1,\"text\":" + Quoted(text));
  } else {
    PrintLocked("port: " + std::string(text));
  }
}

void CliDisplay::SetVersionText(int line, std::string_view text) {
  FormModel::SetVersionText(line, text);
  if (line != 0) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (text == last_version_) return;
  last_version_ = text;
  if (json_) {
    EventLocked("version", "\"line\":1,\"text\":" + Quoted(text));
  } else {
    PrintLocked("version: " + std::string(text));
  }
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
    if (json_) {
      EventLocked("box", "\"line\":1,\"caption\":" + Quoted(request.caption) +
                             ",\"text\":" + Quoted(request.text));
      return request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
    }
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
