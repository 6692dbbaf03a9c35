// What the programs that look at a running quorrel.exe from outside share:
// texts between UTF-8 and UTF-16, a window's text, the form found by its
// title and the message box a process shows.
//
// Header-only; include as "tests/gui_win32/win32_probe.h".
#pragma once

#include <string>
#include <string_view>

#include "lines/control_ids.h"
#include "platform/win32_api.h"

namespace quorrel::probe {

inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

inline std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

inline std::wstring TextOf(HWND w) {
  wchar_t buffer[512] = {};
  const int n = GetWindowTextW(w, buffer, 512);
  return std::wstring(buffer, static_cast<size_t>(n > 0 ? n : 0));
}

// The form of the running program: the top-level dialog with the title
// that holds the download button (a message box may carry the same title).
inline HWND FindForm(const std::wstring& title) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, L"#32770", title.c_str())) != nullptr) {
    if (GetDlgItem(w, controls::kDownload) != nullptr) return w;
  }
  return nullptr;
}

// A visible message box of a process: a dialog that is not its form (the
// form holds the download button).
struct BoxSearch {
  DWORD process;
  HWND box;
};

inline BOOL CALLBACK FindBoxOf(HWND w, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (owner == search->process && std::wstring_view(cls) == L"#32770" && IsWindowVisible(w) &&
      GetDlgItem(w, controls::kDownload) == nullptr) {
    search->box = w;
    return FALSE;
  }
  return TRUE;
}

inline HWND FindBox(DWORD process) {
  BoxSearch search{process, nullptr};
  EnumWindows(FindBoxOf, reinterpret_cast<LPARAM>(&search));
  return search.box;
}

// The text of a message box: its static control 0xFFFF.
inline std::wstring BoxText(HWND box) {
  return TextOf(GetDlgItem(box, 0xFFFF));
}

}  // namespace quorrel::probe
