#include "cli/station_display.h"

#include <nlohmann/json.hpp>

#include "app/line_controller.h"
#include "app/logs.h"
#include "platform/local_time.h"

namespace quorrel::cli {

namespace {

constexpr int kBarWidth = 20;
constexpr size_t kPhaseWidth = 44;
// The header and a row per line.
constexpr int kTableHeight = kLineCount + 1;

std::string Quoted(std::string_view text) {
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// At most `width` characters of UTF-8 text, never cut inside one, padded
// with spaces to that width.
std::string Fitted(std::string_view text, size_t width) {
  std::string out;
  size_t shown = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + length > text.size()) length = text.size() - i;
    if (shown == width) break;
    out.append(text.substr(i, length));
    ++shown;
    i += length;
  }
  out.append(width - shown, ' ');
  return out;
}

std::string EsnText(std::optional<uint32_t> esn) {
  if (!esn) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%08X", *esn);
  return text;
}

}  // namespace

StationDisplay::StationDisplay(CQuorrelDoc& doc, std::string startupDirectory, std::FILE* out,
                               bool terminal, bool json)
    : FormModel(doc, std::move(startupDirectory)),
      out_(out),
      terminal_(terminal && !json),
      json_(json) {}

void StationDisplay::PrintLocked(std::string_view text) {
  if (rows_drawn_) std::fprintf(out_, "\x1b[%dA\r\x1b[J", kTableHeight);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  if (rows_drawn_) {
    rows_drawn_ = false;
    DrawRowsLocked();
  }
  std::fflush(out_);
}

std::string StationDisplay::RowTextLocked(int line) const {
  const Row& row = rows_[static_cast<size_t>(line)];
  std::string text =
      Fitted(std::to_string(line + 1), 5) + Fitted(row.place, 12) + Fitted(EsnText(row.esn), 10);
  if (row.progress >= 0) {
    const int filled = row.progress * kBarWidth / 100;
    text += "[" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] " +
            Fitted(std::to_string(row.progress) + "%", 5);
  } else {
    text += std::string(kBarWidth + 8, ' ');
  }
  text += Fitted(row.phase, kPhaseWidth) + "  " + row.state;
  return text;
}

void StationDisplay::DrawRowsLocked() {
  if (rows_drawn_) std::fprintf(out_, "\x1b[%dA", kTableHeight);
  std::string header = Fitted("line", 5) + Fitted("USB path", 12) + Fitted("ESN", 10) +
                       Fitted("progress", kBarWidth + 8) + Fitted("phase", kPhaseWidth) + "  state";
  std::fprintf(out_, "\r\x1b[2K%s\n", header.c_str());
  for (int line = 0; line < kLineCount; ++line)
    std::fprintf(out_, "\r\x1b[2K%s\n", RowTextLocked(line).c_str());
  rows_drawn_ = true;
  std::fflush(out_);
}

void StationDisplay::EventLocked(int line, std::string_view event, std::string_view fields,
                                 std::string_view plain) {
  if (json_) {
    std::string text = "{\"event\":" + Quoted(event);
    if (line >= 0) text += ",\"line\":" + std::to_string(line + 1);
    if (!fields.empty()) text += "," + std::string(fields);
    text += "}";
    PrintLocked(text);
  } else if (terminal_ && line >= 0) {
    DrawRowsLocked();
  } else if (line >= 0) {
    PrintLocked("line " + std::to_string(line + 1) + ": " + std::string(plain));
  } else {
    PrintLocked(plain);
  }
}

void StationDisplay::SetProgress(int line, int percent) {
  FormModel::SetProgress(line, percent);
  if (line < 0 || line >= kLineCount) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  const int shown = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  Row& row = RowOf(line);
  if (row.progress == shown) return;
  row.progress = shown;
  EventLocked(line, "progress", "\"percent\":" + std::to_string(shown),
              "progress " + std::to_string(shown) + "/100");
}

void StationDisplay::StatusLine(int line, std::string_view text, bool withTimeStamp) {
  FormModel::StatusLine(line, text, withTimeStamp);
  if (line < 0 || line >= kLineCount) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  RowOf(line).phase = text;
  std::string plain = withTimeStamp ? StatusTimeStamp(CurrentLocalTime()) : std::string();
  plain += text;
  EventLocked(line, "status", "\"text\":" + Quoted(text), plain);
}

void StationDisplay::JobEnd(int line, std::string_view text, EndKind endKind) {
  if (line >= 0 && line < kLineCount) {
    std::lock_guard<std::mutex> lock(print_mutex_);
    RowOf(line).endKind = endKind;
  }
  FormModel::JobEnd(line, text, endKind);
}

void StationDisplay::SetVersionText(int line, std::string_view text) {
  FormModel::SetVersionText(line, text);
  if (line < 0 || line >= kLineCount) return;
  std::lock_guard<std::mutex> lock(print_mutex_);
  Row& row = RowOf(line);
  ++row.versions;
  if (row.version == text) return;
  row.version = text;
  EventLocked(line, "version", "\"text\":" + Quoted(text), "version: " + std::string(text));
}

MessageResult StationDisplay::MessageBox(const MessageBoxRequest& request) {
  const int line = LineOfThisThread();
  {
    std::lock_guard<std::mutex> lock(print_mutex_);
    if (line >= 0 && line < kLineCount) RowOf(line).lastBox = request.text;
    std::string plain = "message";
    if (!request.caption.empty()) plain += " [" + request.caption + "]";
    plain += ": " + request.text;
    // A box is an event of its own on a terminal too: its text does not fit
    // a row.
    const std::string fields =
        "\"caption\":" + Quoted(request.caption) + ",\"text\":" + Quoted(request.text);
    if (terminal_) {
      PrintLocked((line >= 0 ? "line " + std::to_string(line + 1) + ": " : std::string()) + plain);
    } else {
      EventLocked(line, "box", fields, plain);
    }
  }
  return request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
}

void StationDisplay::SetModem(int line, std::string_view place, std::string_view serial,
                              std::optional<uint32_t> esn) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  Row& row = RowOf(line);
  if (row.place == place && row.serial == serial && row.esn == esn) return;
  row.place = place;
  row.serial = serial;
  row.esn = esn;
  if (place.empty()) {
    row.progress = -1;
    row.phase.clear();
  }
  std::string plain = place.empty() ? std::string("no modem") : "modem at " + std::string(place);
  if (!serial.empty()) plain += " (serial " + std::string(serial) + ")";
  if (esn) plain += " ESN " + EsnText(esn);
  EventLocked(line, "modem",
              "\"usb_path\":" + (place.empty() ? std::string("null") : Quoted(place)) +
                  ",\"usb_serial\":" + (serial.empty() ? std::string("null") : Quoted(serial)) +
                  ",\"esn\":" + (esn ? Quoted(EsnText(esn)) : std::string("null")),
              plain);
}

void StationDisplay::SetState(int line, std::string_view text) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  Row& row = RowOf(line);
  if (row.state == text) return;
  row.state = text;
  EventLocked(line, "state", "\"text\":" + Quoted(text), text);
}

void StationDisplay::Say(std::string_view text) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  if (json_) {
    EventLocked(-1, "message", "\"text\":" + Quoted(text), text);
  } else {
    PrintLocked(text);
  }
}

void StationDisplay::Result(int line, int exitCode, std::string_view reason,
                            std::string_view recordJson, std::optional<JobTimes> times) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  std::string plain =
      exitCode == 0 ? std::string("result: success")
                    : "result: failed (" + std::to_string(exitCode) + "): " + std::string(reason);
  std::string fields =
      "\"exit_code\":" + std::to_string(exitCode) + ",\"reason\":" + Quoted(reason) +
      ",\"record\":" + (recordJson.empty() ? std::string("null") : std::string(recordJson));
  if (times) {
    fields += ",\"wall_ms\":" + std::to_string(times->wallMs) +
              ",\"floor_ms\":" + std::to_string(times->floorMs);
    char text[96];
    std::snprintf(text, sizeof text, " (%.1f s; requested sleeps %.1f s)",
                  static_cast<double>(times->wallMs) / 1000.0,
                  static_cast<double>(times->floorMs) / 1000.0);
    plain += text;
  }
  if (terminal_) {
    PrintLocked("line " + std::to_string(line + 1) + ": " + plain);
  } else {
    EventLocked(line, "result", fields, plain);
  }
}

void StationDisplay::Summary(int jobs, int succeeded, int exitCode) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  EventLocked(-1, "summary",
              "\"jobs\":" + std::to_string(jobs) + ",\"succeeded\":" + std::to_string(succeeded) +
                  ",\"exit_code\":" + std::to_string(exitCode),
              "station: " + std::to_string(jobs) + " jobs, " + std::to_string(succeeded) +
                  " succeeded, " + std::to_string(jobs - succeeded) + " failed");
}

uint64_t StationDisplay::VersionsShown(int line) const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return rows_[static_cast<size_t>(line)].versions;
}

std::optional<EndKind> StationDisplay::LastEndKind(int line) const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return rows_[static_cast<size_t>(line)].endKind;
}

std::string StationDisplay::LastBox(int line) const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return rows_[static_cast<size_t>(line)].lastBox;
}

std::string StationDisplay::LastStatus(int line) const {
  std::lock_guard<std::mutex> lock(print_mutex_);
  return rows_[static_cast<size_t>(line)].phase;
}

void StationDisplay::ClearJobState(int line) {
  std::lock_guard<std::mutex> lock(print_mutex_);
  Row& row = RowOf(line);
  row.endKind.reset();
  row.lastBox.clear();
  row.phase.clear();
}

}  // namespace quorrel::cli
