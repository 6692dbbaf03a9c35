// The form of quorrel-cli: the form model, printing what a window would show.
// Each status line is printed with its time stamp, the progress as a bar on a
// terminal (a plain line per change otherwise), the port and version when
// they change, and every message box, which is answered with OK (Yes for a
// question). With JSON on, every one of these is a JSON object on a line of
// its own instead, {"event": ..., ...}: one schema for programs to read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/form_model.h"

namespace quorrel::cli {

class CliDisplay : public FormModel {
 public:
  CliDisplay(CQuorrelDoc& doc, std::string startupDirectory, std::FILE* out, bool terminal);

  void SetProgress(int line, int percent) override;
  void StatusLine(int line, std::string_view text, bool withTimeStamp) override;
  void JobEnd(int line, std::string_view text, EndKind endKind) override;
  void SetPortText(int line, std::string_view text) override;
  void SetVersionText(int line, std::string_view text) override;
  void SetControlText(int id, std::string_view text) override;
  MessageResult MessageBox(const MessageBoxRequest& request) override;

  // Events as JSON lines from now on (no bar, no time stamps in texts).
  void SetJson(bool json);
  bool Json() const { return json_; }

  // Prints a line of the program's own (ends a progress bar first); as
  // JSON, a "message" event.
  void Say(std::string_view text);
  // The last event: the exit code, the reason of a failure and, when a job
  // ran, its record (JSON text, as results.jsonl holds it; empty: none).
  void Result(int exitCode, std::string_view reason, std::string_view recordJson);

  // Waits until line 1 shows the ready prompt (a modem answered); false when
  // the timeout passed (none: waits without end).
  bool WaitUntilReady(std::optional<std::chrono::milliseconds> timeout);
  // The end kind of line 1's last job end, if one came.
  std::optional<EndKind> LastEndKind() const;
  // The last message box text and the last status text of line 1.
  std::string LastBox() const;
  std::string LastStatus() const;

 private:
  void PrintLocked(std::string_view text);
  // Prints an event; fields is the JSON object's text of the event's fields
  // besides "event" (without braces).
  void EventLocked(std::string_view event, std::string_view fields);
  void EndBarLocked();

  std::FILE* out_;
  const bool terminal_;
  bool json_ = false;
  mutable std::mutex print_mutex_;
  std::condition_variable ready_changed_;
  bool ready_ = false;
  bool bar_shown_ = false;
  int last_progress_ = -1;
  std::string last_port_;
  std::string last_version_;
  std::string last_box_;
  std::string last_status_;
  std::optional<EndKind> last_end_kind_;
};

}  // namespace quorrel::cli
