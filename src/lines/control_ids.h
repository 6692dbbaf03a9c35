// Identifiers of the main form's controls, and the per-line ones by line
// index (0 to 7).
#pragma once

namespace quorrel::controls {

inline constexpr int kDownload = 1008;           // "Загрузка": line 1's start button
inline constexpr int kFirstStart = 1008;         // start buttons 1008-1015
inline constexpr int kFirstStop = 1016;          // stop buttons " ！" 1016-1023
inline constexpr int kFirstProgressBar = 1024;   // 1024-1031
inline constexpr int kFirstProgressText = 1101;  // "0/100", 1101-1108
inline constexpr int kFirstStatusIcon = 1123;    // 1123-1130
inline constexpr int kFirstPortText = 1001;      // lines 2-8: 1001-1007
inline constexpr int kFirstStateEdit = 1033;     // lines 2-8: 1033-1039

inline constexpr int kPortNumber = 1166;      // line 1's port, next to "Номер порта: "
inline constexpr int kCurrentVersion = 1167;  // line 1's version, "Текущая версия:" row
inline constexpr int kStateLine = 1168;       // line 1's state line, "Waiting..."

inline constexpr int kAllStart = 1099;
inline constexpr int kAllStop = 1100;     // "全部停止"
inline constexpr int kReleaseAll = 1109;  // "全部释放" / "全部连接"
inline constexpr int kNvDirectoryButton = 1121;
inline constexpr int kNvDirectoryEdit = 1122;
inline constexpr int kNoBackupNv = 1131;
inline constexpr int kRestoreRfNv = 1132;
inline constexpr int kRestoreRfNvImei = 1133;
inline constexpr int kEraseBoot = 1134;        // "擦Boot区"
inline constexpr int kDefaultNvButton = 1135;  // "缺省NV文件"
inline constexpr int kBootFileButton = 1136;   // "选择Boot文件"
inline constexpr int kBootFileEdit = 1137;
inline constexpr int kLoadDefaultNv = 1138;  // "不备份,装载缺省NV文件"
inline constexpr int kDefaultNvEdit = 1139;
inline constexpr int kRestoreAllPorts = 1147;  // "恢复全部端口"
inline constexpr int kSoftwareVersion = 1154;  // "Software Version"
inline constexpr int kFirmwareFolderEdit = 1155;
inline constexpr int kProgrammerEdit = 1080;
inline constexpr int kProgrammerButton = 1081;  // "选择升级软件"

constexpr bool ValidLine(int line) {
  return line >= 0 && line < 8;
}

constexpr int StartButton(int line) {
  return kFirstStart + line;
}
constexpr int StopButton(int line) {
  return kFirstStop + line;
}
constexpr int ProgressBar(int line) {
  return kFirstProgressBar + line;
}
constexpr int ProgressText(int line) {
  return kFirstProgressText + line;
}
constexpr int StatusIcon(int line) {
  return kFirstStatusIcon + line;
}
constexpr int RestorePortButton(int line) {
  return line < 7 ? 1140 + line : 1148;
}
constexpr int PortText(int line) {
  return line == 0 ? kPortNumber : kFirstPortText + line - 1;
}
constexpr int VersionText(int line) {
  return line == 0 ? kCurrentVersion : line == 1 ? 1052 : 1074 + line - 2;
}
constexpr int StateText(int line) {
  return line == 0 ? kStateLine : kFirstStateEdit + line - 1;
}

}  // namespace quorrel::controls
