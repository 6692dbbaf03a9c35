// The form of quorrel-cli station: every line's row (its modem's USB path,
// serial and ESN, the job's phase and progress, and what the station says
// of the line). On a terminal the eight rows are drawn in place and redrawn
// on each change, with the station's own messages above them; otherwise
// each change is a line of its own, "line N: ...", or with JSON on an
// object {"event": ..., "line": N, ...} of the same schema as the single
// job's. Message boxes are answered as the single job's form answers them
// (OK, Yes), and tell which line they came from.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/form_model.h"

namespace quorrel::cli {

class StationDisplay : public FormModel {
 public:
  StationDisplay(CQuorrelDoc& doc, std::string startupDirectory, std::FILE* out, bool terminal,
                 bool json);

  void SetProgress(int line, int percent) override;
  void StatusLine(int line, std::string_view text, bool withTimeStamp) override;
  void JobEnd(int line, std::string_view text, EndKind endKind) override;
  void SetVersionText(int line, std::string_view text) override;
  MessageResult MessageBox(const MessageBoxRequest& request) override;

  // ---- what the station tells ----
  // The modem a line serves now (empty place: none).
  void SetModem(int line, std::string_view place, std::string_view serial,
                std::optional<uint32_t> esn);
  // What the station says of the line: waiting, running, done, unplug...
  void SetState(int line, std::string_view text);
  // A message of the station's own (not of a line).
  void Say(std::string_view text);
  // A job's end: its exit code, the reason of a failure, its record (JSON,
  // as results.jsonl holds it) and, for a job that ran, its wall time and
  // the sleeps it asked for (its floor), in real milliseconds.
  struct JobTimes {
    uint64_t wallMs = 0;
    uint64_t floorMs = 0;
  };
  void Result(int line, int exitCode, std::string_view reason, std::string_view recordJson,
              std::optional<JobTimes> times = std::nullopt);
  // The last event: how many jobs ran, how many succeeded, the exit code.
  void Summary(int jobs, int succeeded, int exitCode);

  // ---- what the station reads back ----
  // Counts the versions shown on the line (a port-watch pass that found
  // the modem ends with one): tells a fresh look at the modem from an old
  // one.
  uint64_t VersionsShown(int line) const;
  // Since the line's last ClearJobState.
  std::optional<EndKind> LastEndKind(int line) const;
  std::string LastBox(int line) const;
  std::string LastStatus(int line) const;
  void ClearJobState(int line);

 private:
  struct Row {
    std::string place;
    std::string serial;
    std::optional<uint32_t> esn;
    std::string phase;  // the job's last status text
    int progress = -1;
    std::string state;
    std::string version;
    uint64_t versions = 0;
    std::string lastBox;
    std::optional<EndKind> endKind;
  };

  Row& RowOf(int line) { return rows_[static_cast<size_t>(line)]; }
  // Writes an event: as a row change on a terminal, else as a line.
  void EventLocked(int line, std::string_view event, std::string_view fields,
                   std::string_view plain);
  void PrintLocked(std::string_view text);
  void DrawRowsLocked();
  std::string RowTextLocked(int line) const;

  std::FILE* out_;
  const bool terminal_;
  const bool json_;
  mutable std::mutex print_mutex_;
  std::array<Row, kLineCount> rows_{};
  bool rows_drawn_ = false;
};

}  // namespace quorrel::cli
