#include "app/form_layout.h"

#include <cstdlib>

#include "lines/control_ids.h"
#include "lines/line_slot.h"

#ifndef QUORREL_VERSION
#define QUORREL_VERSION "0.0.0"
#endif

namespace quorrel {

namespace {

using namespace controls;
using namespace style;

constexpr int kModeButtons[kLineCount][4] = {
    {1040, 1041, 1042, 1043}, {1044, 1045, 1046, 1048}, {1049, 1050, 1051, 1053},
    {1054, 1055, 1056, 1057}, {1058, 1059, 1060, 1061}, {1062, 1063, 1064, 1065},
    {1066, 1067, 1068, 1069}, {1070, 1071, 1072, 1073},
};

// The station rows: one per line, below the one-line form.
constexpr int kFirstRowY = 194;
constexpr int kRowPitch = 15;

std::vector<TemplateControl> BuildForm() {
  std::vector<TemplateControl> t;
  auto add = [&t](int id, ControlKind kind, std::string text, int x, int y, int w, int h,
                  unsigned s) {
    t.push_back(TemplateControl{id, kind, std::move(text), x, y, w, h, s});
  };
  const ControlKind S = ControlKind::Static;
  const ControlKind B = ControlKind::Button;
  const ControlKind R = ControlKind::RadioButton;
  const ControlKind E = ControlKind::Edit;

  // The one-line form. The intro texts and the button's caption are filled
  // in at start-up.
  add(1189, S, "", 5, 5, 76, 10, kVisible);
  add(1190, S, "", 22, 16, 229, 35, kVisible);
  add(1191, S, "", 4, 38, 87, 9, kVisible);
  add(1192, S, "", 21, 50, 295, 8, kVisible);
  add(1193, S, "", 21, 63, 274, 33, kVisible);
  add(1194, S, "", 21, 95, 280, 8, kVisible);
  add(1195, S, "", 13, 109, 69, 8, kVisible);
  add(kPortNumber, S, "", 87, 111, 100, 8, kVisible);
  add(kDownload, B, "", 223, 106, 67, 34, kVisible | kTabStop);
  add(1196, S, "", 13, 125, 69, 8, kVisible);
  add(kCurrentVersion, S, "No Phone", 87, 125, 130, 8, kVisible);
  add(kStateLine, S, "Waiting...", 13, 142, 287, 10, kVisible);
  add(kNoControlId, S, "Прогресс:", 13, 158, 57, 8, kVisible);
  add(ProgressText(0), S, "0/100", 78, 158, 40, 8, kVisible);
  add(ProgressBar(0), ControlKind::ProgressBar, "", 11, 171, 297, 14, kVisible);

  // The options, right of the one-line form.
  add(kAllStart, B, "all start", 334, 4, 50, 14, kStation | kTabStop);
  add(kAllStop, B, "全部停止", 388, 4, 50, 14, kStation | kTabStop);
  add(kReleaseAll, B, "全部释放", 442, 4, 50, 14, kStation | kTabStop);
  add(kRestoreAllPorts, B, "恢复全部端口", 496, 4, 64, 14, kStation | kTabStop);
  add(kNoBackupNv, R, "No bakup NV", 334, 24, 110, 10, kStation | kGroup | kTabStop);
  add(kRestoreRfNv, R, "Only restore RF NV", 334, 36, 110, 10, kStation);
  add(kRestoreRfNvImei, R, "Restore RF NV and IMEI", 334, 48, 110, 10, kStation);
  add(kLoadDefaultNv, R, "不备份,装载缺省NV文件", 334, 60, 110, 10, kStation);
  add(kEraseBoot, ControlKind::CheckBox, "擦Boot区", 460, 24, 60, 10, kStation | kTabStop);
  struct Chooser {
    int button;
    const char* text;
    int edit;
  };
  const Chooser choosers[] = {{kSoftwareVersion, "Software Version", kFirmwareFolderEdit},
                              {kNvDirectoryButton, "nv bakup path", kNvDirectoryEdit},
                              {kProgrammerButton, "选择升级软件", kProgrammerEdit},
                              {kBootFileButton, "选择Boot文件", kBootFileEdit},
                              {kDefaultNvButton, "缺省NV文件", kDefaultNvEdit}};
  int y = 76;
  for (const Chooser& c : choosers) {
    add(c.button, B, c.text, 334, y, 70, 14, kStation | kTabStop);
    add(c.edit, E, "", 408, y + 1, 230, 12, kStation | kReadOnly);
    y += 18;
  }

  // One row per line.
  for (int line = 0; line < kLineCount; ++line) {
    const int ry = kFirstRowY + line * kRowPitch;
    add(1179 + line, S, ".", 4, ry - 2, 6, 12, kStation | kBold);
    add(kNoControlId, S, std::to_string(line + 1), 10, ry + 2, 8, 8, kStation);
    if (line > 0) add(StartButton(line), B, ">", 19, ry, 16, 12, kStation | kTabStop);
    add(StopButton(line), B, " ！", 36, ry, 16, 12, kStation | kTabStop);
    add(StatusIcon(line), ControlKind::Picture, "", 54, ry + 1, 34, 10, kStation);
    if (line > 0) {
      add(controls::PortText(line), S, "", 90, ry + 2, 30, 8, kStation);
      add(controls::VersionText(line), S, "", 122, ry + 2, 76, 8, kStation);
      add(StateText(line), E, "", 200, ry, 110, 12, kStation | kReadOnly);
      add(ProgressBar(line), ControlKind::ProgressBar, "", 312, ry + 1, 70, 10, kStation);
      add(ProgressText(line), S, "0/100", 384, ry + 2, 26, 8, kStation);
    }
    const bool english = line == 0;
    add(kModeButtons[line][0], R, "Download", 412, ry + 1, 48, 10, kStation | kGroup | kTabStop);
    add(kModeButtons[line][1], R, "修复", 461, ry + 1, 30, 10, kStation);
    add(kModeButtons[line][2], R, english ? "Backup NV" : "备份NV", 492, ry + 1, 48, 10, kStation);
    add(kModeButtons[line][3], R, english ? "Restore NV" : "恢复NV", 541, ry + 1, 52, 10, kStation);
    add(RestorePortButton(line), B, "恢复端口", 596, ry, 42, 12, kStation | kTabStop);
  }
  return t;
}

}  // namespace

const std::vector<TemplateControl>& FormTemplate() {
  static const std::vector<TemplateControl> table = BuildForm();
  return table;
}

const TemplateControl* FindTemplateControl(int id) {
  if (id == kNoControlId) return nullptr;
  for (const TemplateControl& entry : FormTemplate()) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

int ModeButton(int line, LineMode mode) {
  const int m = static_cast<int>(mode);
  if (!ValidLine(line) || m < static_cast<int>(LineMode::Download) ||
      m > static_cast<int>(LineMode::RestoreNv)) {
    return 0;
  }
  return kModeButtons[line][m - 1];
}

bool ModeOfButton(int id, int* line, LineMode* mode) {
  for (int l = 0; l < kLineCount; ++l) {
    for (int m = 0; m < 4; ++m) {
      if (kModeButtons[l][m] == id) {
        *line = l;
        *mode = static_cast<LineMode>(m + 1);
        return true;
      }
    }
  }
  return false;
}

const char* ProgramVersion() {
  return QUORREL_VERSION;
}

std::string AboutTitle() {
  return "О программе";
}

const std::vector<TemplateControl>& AboutTemplate() {
  static const std::vector<TemplateControl> table = {
      {kAboutIconId, ControlKind::Picture, "", 8, 8, 20, 20, kVisible},
      {kAboutVersionId, ControlKind::Static,
       std::string("ПО обновления для Pellam ZID Россия, версия ") + ProgramVersion(), 36, 10, 156,
       8, kVisible},
      {kAboutNoticeId, ControlKind::Static,
       "Не отключайте модем и не выключайте компьютер до окончания обновления.", 36, 26, 156, 18,
       kVisible},
      {kAboutOkId, ControlKind::Button, "OK", 142, 52, 50, 14, kVisible | kTabStop},
  };
  return table;
}

int AverageCharWidth(int widthOfAlphabet) {
  return (widthOfAlphabet / 26 + 1) / 2;
}

int MulDiv(int value, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = std::llabs(static_cast<long long>(denominator)) / 2;
  const bool negative = (product < 0) != (denominator < 0);
  const long long magnitude =
      (std::llabs(product) + half) / std::llabs(static_cast<long long>(denominator));
  return static_cast<int>(negative ? -magnitude : magnitude);
}

PixelRect DialogToPixels(int x, int y, int width, int height, DialogBaseUnits units) {
  return PixelRect{MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(width, units.x, 4),
                   MulDiv(height, units.y, 8)};
}

PixelRect DialogToPixels(const TemplateControl& entry, DialogBaseUnits units) {
  return DialogToPixels(entry.x, entry.y, entry.width, entry.height, units);
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<FileFilter> ParseFileFilter(std::string_view filter) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= filter.size()) {
    const size_t bar = filter.find('|', start);
    const size_t end = bar == std::string_view::npos ? filter.size() : bar;
    parts.push_back(filter.substr(start, end - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  std::vector<FileFilter> out;
  // Description and patterns alternate; an empty description ends the list.
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string_view description = Trim(parts[i]);
    if (description.empty()) break;
    FileFilter f;
    f.description = std::string(description);
    std::string_view patterns = parts[i + 1];
    size_t p = 0;
    while (p <= patterns.size()) {
      const size_t semi = patterns.find(';', p);
      const size_t e = semi == std::string_view::npos ? patterns.size() : semi;
      std::string_view pattern = Trim(patterns.substr(p, e - p));
      if (!pattern.empty()) f.patterns.emplace_back(pattern);
      if (semi == std::string_view::npos) break;
      p = semi + 1;
    }
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace quorrel
