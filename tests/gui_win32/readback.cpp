// quorrel-win32-readback: starts quorrel.exe, finds its form by the title and
// reads the form back through Win32: the title, every control of template
// 101 where the layout table puts it (the table's rectangle in dialog units,
// mapped to pixels with the form's own font), the hidden controls present
// and hidden; the pictures and templates the program carries; and that a
// second instance is refused. Prints each difference; exit code 0 when there
// is none.
//
//   quorrel-win32-readback QUORREL_EXE [--all-lines] [--leave-open]
//
// --leave-open leaves the program running (for a screenshot); the line
// "window X Y WIDTH HEIGHT" gives the form's place on the screen.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/form_layout.h"
#include "app/form_model.h"
#include "app/quorrel_view.h"
#include "platform/win32_api.h"
#include "tests/gui_win32/win32_probe.h"

#include <commctrl.h>

namespace {

using namespace quorrel;

using probe::BoxText;
using probe::FindBox;
using probe::FindForm;
using probe::Narrow;
using probe::TextOf;
using probe::Wide;

constexpr int kAboutDialog = 100;

struct Checker {
  int failures = 0;
  void Fail(const std::string& what) {
    ++failures;
    std::printf("FAIL %s\n", what.c_str());
  }
};

INT_PTR CALLBACK QuietProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

// A second instance while the first runs: it says so in a box and, once
// answered, ends with exit code 0 without a form of its own.
void CheckSecondInstance(const std::wstring& exe, Checker* check) {
  std::wstring command = L"\"" + exe + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    check->Fail("cannot start a second instance");
    return;
  }
  HWND box = nullptr;
  for (int tries = 0; tries < 600 && box == nullptr; ++tries) {
    box = FindBox(pi.dwProcessId);
    if (box == nullptr && WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  if (box == nullptr) {
    check->Fail("the second instance showed no box");
  } else {
    const std::wstring text = BoxText(box);
    if (text != Wide(kMutexTakenText))
      check->Fail("the second instance says \"" + Narrow(text) + "\"");
    // Its form has no title yet; the box carries the one it would have.
    const std::wstring caption = TextOf(box);
    if (caption != Wide(kMainTitle))
      check->Fail("the second instance's box is captioned \"" + Narrow(caption) + "\"");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  DWORD code = 1;
  if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    check->Fail("the second instance did not end");
  } else if (GetExitCodeProcess(pi.hProcess, &code) && code != 0) {
    check->Fail("the second instance ended with " + std::to_string(code));
  } else if (box != nullptr) {
    std::printf("a second instance was refused\n");
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: quorrel-win32-readback QUORREL_EXE [--all-lines] [--leave-open]\n");
    return 2;
  }
  bool allLines = false;
  bool leaveOpen = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--all-lines")
      allLines = true;
    else if (a == "--leave-open")
      leaveOpen = true;
    else {
      std::fprintf(stderr, "quorrel-win32-readback: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  const std::wstring exe = Wide(argv[1]);
  const std::wstring title = Wide(kMainTitle);

  // The same template from the program file, never shown: its dialog units
  // in pixels are those of the running form (the same font on the same
  // display).
  INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX),
                              ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (image == nullptr) {
    std::printf("FAIL cannot read the resources of %s\n", argv[1]);
    return 1;
  }
  Checker check;
  // The pictures the form shows: the status bitmaps, 50 x 16, and the icons.
  for (int bitmap : {kBitmapFail, kBitmapPass, kBitmapReady, kBitmapRunning}) {
    HANDLE h = LoadImageW(image, MAKEINTRESOURCEW(bitmap), IMAGE_BITMAP, 0, 0, 0);
    BITMAP info{};
    if (h == nullptr || GetObjectW(h, sizeof info, &info) == 0) {
      check.Fail("no bitmap " + std::to_string(bitmap));
    } else if (info.bmWidth != 50 || info.bmHeight != 16) {
      check.Fail("bitmap " + std::to_string(bitmap) + " is " + std::to_string(info.bmWidth) + "x" +
                 std::to_string(info.bmHeight));
    }
    if (h != nullptr) DeleteObject(h);
  }
  for (int icon : {kIconProgram, kIconStart, kIconStop}) {
    HANDLE h = LoadImageW(image, MAKEINTRESOURCEW(icon), IMAGE_ICON, 32, 32, 0);
    if (h == nullptr) {
      check.Fail("no icon " + std::to_string(icon));
      continue;
    }
    // The mask holds the shape (a greyed icon is drawn from it): clear in
    // the corner, set in the middle.
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 32, 32);
    HGDIOBJ old = SelectObject(dc, canvas);
    DrawIconEx(dc, 0, 0, static_cast<HICON>(h), 32, 32, 0, nullptr, DI_MASK);
    const COLORREF corner = GetPixel(dc, 0, 0), middle = GetPixel(dc, 16, 16);
    if (corner != RGB(255, 255, 255) || middle != RGB(0, 0, 0)) {
      check.Fail("icon " + std::to_string(icon) + " has no shape in its mask");
    }
    SelectObject(dc, old);
    DeleteObject(canvas);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    DestroyIcon(static_cast<HICON>(h));
  }
  if (FindResourceW(image, MAKEINTRESOURCEW(kAboutDialog), MAKEINTRESOURCEW(5)) == nullptr)
    check.Fail("no About template");
  if (FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) == nullptr)
    check.Fail("no manifest");

  HWND reference = CreateDialogParamW(image, MAKEINTRESOURCEW(101), nullptr, QuietProc, 0);
  if (reference == nullptr) {
    std::printf("FAIL %s has no dialog template 101\n", argv[1]);
    return 1;
  }

  std::wstring command = L"\"" + exe + L"\"" + (allLines ? L" --all-lines" : L"");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    std::printf("FAIL cannot start %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }

  // The form shows once its start-up is done: poll, with a bound.
  HWND form = nullptr;
  for (int tries = 0; tries < 600; ++tries) {
    form = FindForm(title);
    if (form != nullptr && IsWindowVisible(form)) break;
    form = nullptr;
    if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  if (form == nullptr) {
    check.Fail("no visible form titled \"" + std::string(kMainTitle) + "\" within 60 s");
  } else {
    const std::wstring shownTitle = TextOf(form);
    if (shownTitle != title) check.Fail("title \"" + Narrow(shownTitle) + "\"");

    // The client area: the template's size.
    const DialogSize size = allLines ? kStationFormSize : kFormSize;
    RECT want{0, 0, size.width, size.height};
    MapDialogRect(reference, &want);
    RECT client{};
    GetClientRect(form, &client);
    if (client.right != want.right || client.bottom != want.bottom) {
      check.Fail("client area " + std::to_string(client.right) + "x" +
                 std::to_string(client.bottom) + ", not " + std::to_string(want.right) + "x" +
                 std::to_string(want.bottom));
    }

    int visible = 0, hidden = 0;
    for (const TemplateControl& entry : FormTemplate()) {
      if (entry.id == kNoControlId) continue;
      const std::string name = "control " + std::to_string(entry.id);
      HWND w = GetDlgItem(form, entry.id);
      if (w == nullptr) {
        check.Fail(name + " missing");
        continue;
      }
      const bool shown = (entry.style & style::kVisible) != 0 ||
                         (allLines && (entry.style & style::kStation) != 0);
      if (!shown) {
        ++hidden;
        if (IsWindowVisible(w)) check.Fail(name + " visible, the template hides it");
        continue;
      }
      ++visible;
      if (!IsWindowVisible(w)) {
        check.Fail(name + " hidden");
        continue;
      }
      // The dialog manager maps the place and the size, each on its own.
      RECT expected{entry.x, entry.y, entry.width, entry.height};
      MapDialogRect(reference, &expected);
      expected.right += expected.left;
      expected.bottom += expected.top;
      RECT r{};
      GetWindowRect(w, &r);
      MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&r), 2);
      if (r.left != expected.left || r.top != expected.top || r.right != expected.right ||
          r.bottom != expected.bottom) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "%s at (%ld,%ld)-(%ld,%ld), the template puts it at (%ld,%ld)-(%ld,%ld)",
                      name.c_str(), r.left, r.top, r.right, r.bottom, expected.left, expected.top,
                      expected.right, expected.bottom);
        check.Fail(line);
      }
    }
    RECT frame{};
    GetWindowRect(form, &frame);
    std::printf("checked %d visible and %d hidden controls\n", visible, hidden);
    std::printf("window %ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left,
                frame.bottom - frame.top);
    std::fflush(stdout);
  }

  DestroyWindow(reference);
  FreeLibrary(image);
  if (form != nullptr && !leaveOpen) CheckSecondInstance(exe, &check);
  if (!leaveOpen || check.failures > 0) {
    // No line runs: the close needs no confirmation.
    if (form != nullptr) PostMessageW(form, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
      TerminateProcess(pi.hProcess, 1);
      if (form != nullptr) check.Fail("the form did not close");
    }
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::printf(check.failures == 0 ? "PASS\n" : "%d differences\n", check.failures);
  return check.failures == 0 ? 0 : 1;
}
