// quorrel-win32-download: a user at quorrel.exe. Starts it, waits until the
// form shows a modem ready, clicks "Загрузка" and waits for the box that
// ends the download. At the box the form must show the finished download
// (the state line, "100/100", the full bar) and the box must be the success
// box; once it is answered the program must end with exit code 0. Prints
// what it saw and each difference; exit code 0 when there is none.
//
//   quorrel-win32-download QUORREL_EXE [--time-scale F] [--hold-box FILE]
//
// --hold-box leaves the box up until FILE exists (for a screenshot); the
// lines "window X Y WIDTH HEIGHT" and "box X Y WIDTH HEIGHT" give the form's
// and the box's places on the screen.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/form_model.h"
#include "jobs/download_job.h"
#include "lines/control_ids.h"
#include "platform/win32_api.h"
#include "tests/gui_win32/win32_probe.h"

#include <commctrl.h>

namespace {

using namespace quorrel;
using probe::BoxText;
using probe::FindBox;
using probe::Narrow;
using probe::TextOf;
using probe::Wide;

constexpr char kReadyText[] = "Готово. Нажмите кнопку для начала обновления";
constexpr char kSuccessPrefix[] = "Обновление выполнено успешно! Общее время ";

int failures = 0;

void Fail(const std::string& what) {
  ++failures;
  std::printf("FAIL %s\n", what.c_str());
  std::fflush(stdout);
}

std::string ItemText(HWND form, int id) {
  return Narrow(TextOf(GetDlgItem(form, id)));
}

void PrintPlace(const char* what, HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  std::printf("%s %ld %ld %ld %ld\n", what, r.left, r.top, r.right - r.left, r.bottom - r.top);
  std::fflush(stdout);
}

// Polls every 100 ms until done() holds, the process ends or the bound
// passes; true when done() held.
template <typename Done>
bool WaitFor(HANDLE process, int seconds, Done done) {
  for (int tries = 0; tries < seconds * 10; ++tries) {
    if (done()) return true;
    if (WaitForSingleObject(process, 100) == WAIT_OBJECT_0) return done();
  }
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: quorrel-win32-download QUORREL_EXE [--time-scale F] [--hold-box FILE]\n");
    return 2;
  }
  std::wstring timeScale;
  std::wstring holdFile;
  for (int i = 2; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--time-scale" && i + 1 < argc) {
      timeScale = Wide(argv[++i]);
    } else if (a == "--hold-box" && i + 1 < argc) {
      holdFile = Wide(argv[++i]);
    } else {
      std::fprintf(stderr, "quorrel-win32-download: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  const std::wstring exe = Wide(argv[1]);
  std::wstring command = L"\"" + exe + L"\"";
  if (!timeScale.empty()) command += L" --time-scale " + timeScale;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    std::printf("FAIL cannot start %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }

  HWND form = nullptr;
  const std::wstring title = Wide(kMainTitle);
  WaitFor(pi.hProcess, 60, [&] {
    form = probe::FindForm(title);
    return form != nullptr && IsWindowVisible(form);
  });
  HWND box = nullptr;
  DWORD early = 0;
  if (form == nullptr && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(pi.hProcess, &early)) {
    Fail("the program ended with exit code " + std::to_string(early) + " before its form showed");
  } else if (form == nullptr) {
    Fail("no form titled \"" + std::string(kMainTitle) + "\" within 60 s");
  } else {
    HWND download = GetDlgItem(form, controls::kDownload);
    // The port watch finds the modem, reads its version and enables the
    // button.
    const bool ready = WaitFor(pi.hProcess, 120, [&] {
      return IsWindowEnabled(download) && ItemText(form, controls::kStateLine) == kReadyText;
    });
    if (!ready) {
      Fail("the form did not get ready; its state line says \"" +
           ItemText(form, controls::kStateLine) + "\"");
    } else {
      std::printf("ready: port %s, version %s\n", ItemText(form, controls::kPortNumber).c_str(),
                  ItemText(form, controls::kCurrentVersion).c_str());
      std::fflush(stdout);
      // As a user's click: the button's own press and release.
      PostMessageW(download, BM_CLICK, 0, 0);
      WaitFor(pi.hProcess, 600, [&] { return (box = FindBox(pi.dwProcessId)) != nullptr; });
      DWORD code = 0;
      if (box == nullptr && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(pi.hProcess, &code)) {
        Fail("the program ended with exit code " + std::to_string(code) + " before any box");
      } else if (box == nullptr) {
        Fail("no box within 10 minutes of the click");
      }
    }
  }

  if (box != nullptr) {
    const std::string text = Narrow(BoxText(box));
    const std::string caption = Narrow(TextOf(box));
    std::printf("the box \"%s\" says: %s\n", caption.c_str(), text.c_str());
    if (text.rfind(kSuccessPrefix, 0) != 0) Fail("not the success box");
    if (caption != kSuccessCaption) Fail("the box is captioned \"" + caption + "\"");
    // What the form shows behind the box.
    const std::string state = ItemText(form, controls::kStateLine);
    if (state != kDoneText) Fail("the state line says \"" + state + "\"");
    const std::string progress = ItemText(form, controls::ProgressText(0));
    if (progress != "100/100") Fail("the progress text says \"" + progress + "\"");
    const LRESULT bar = SendMessageW(GetDlgItem(form, controls::ProgressBar(0)), PBM_GETPOS, 0, 0);
    if (bar != 100) Fail("the progress bar stands at " + std::to_string(bar));
    PrintPlace("window", form);
    PrintPlace("box", box);
    if (!holdFile.empty()) {
      for (int tries = 0; tries < 600; ++tries) {
        if (GetFileAttributesW(holdFile.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
      }
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }

  // Answered, the success box ends the program.
  DWORD code = 1;
  if (box == nullptr || failures > 0 || WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
    if (failures == 0) Fail("the program did not end after the box");
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 10000);
  } else if (GetExitCodeProcess(pi.hProcess, &code) && code != 0) {
    Fail("the program ended with exit code " + std::to_string(code));
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::printf(failures == 0 ? "PASS\n" : "%d differences\n", failures);
  return failures == 0 ? 0 : 1;
}
