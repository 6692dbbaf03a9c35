// The main window in Win32: the modeless dialog of template 101, kept in step
// with the form model; its controls' WM_COMMAND identifiers are the form's
// control identifiers, routed to the view.
//
// The line threads never touch a window. Every change of the model reaches
// the window thread as a posted message carrying a heap object (the window
// thread runs and frees it; changes that come quickly one after another are
// applied together). A message box or a dialog asked for by a line thread is
// shown modally by the window thread while the line thread waits for the
// answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "app/form_layout.h"
#include "app/form_model.h"
#include "app/quorrel_view.h"
#include "platform/win32_api.h"

namespace quorrel::win32 {

// UTF-8 and the window's UTF-16.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// The message that carries a queued call (WM_APP + 1); lParam holds it.
inline constexpr UINT kRunCallMessage = WM_APP + 1;

struct WindowOptions {
  // Show every line's controls and the options.
  bool allLines = false;
  // The time scale of the program's clock, for the view's timers.
  double timeScale = 1.0;
  // Ends the process once the window has closed.
  std::function<void(int exitCode)> exitProcess;
};

class MainWindow {
 public:
  MainWindow(FormModel& form, WindowOptions options);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Makes the (still hidden) dialog from template 101; false when it fails.
  bool Create(HINSTANCE instance);
  ViewHooks Hooks();
  void SetView(CQuorrelView* view) { view_ = view; }
  // Shows the window and runs its messages until it closes.
  int Run();
  // What the message loop does with a message before dispatching it: the
  // frame's accelerators (Ctrl+N, O, S, P: their commands go to the view),
  // then the dialog's keys. True when it was taken.
  bool PreTranslate(MSG& msg);

  // Closes the window from any thread: asks first while a line runs, or,
  // with ask false (the job's request after a failed version check), not.
  void RequestClose(bool ask);
  // Runs fn on the window thread; from another thread it is posted and
  // returns at once. False when it could not be posted (no window).
  bool Post(std::function<void()> fn);

  HWND hwnd() const { return hwnd_; }
  // Applies the model's pending changes now (window thread).
  void Flush();

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  bool OnWindowThread() const;
  void Build();
  void Apply(int id);
  void MarkDirty(int id);
  void Command(int id);
  void Close();
  MessageResult ShowBox(const MessageBoxRequest& request);
  MessageResult RunBox(const MessageBoxRequest& request);
  // Runs fn on the window thread and waits for its answer.
  std::optional<std::string> OnUiThread(const std::function<std::optional<std::string>()>& fn);
  void ShowAbout();
  void RunLater(uint32_t ms, std::function<void()> fn);
  HBITMAP Picture(int bitmap);
  HICON Icon(int icon, int side);

  FormModel& form_;
  WindowOptions options_;
  CQuorrelView* view_ = nullptr;
  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  std::thread::id thread_;
  HFONT dot_font_ = nullptr;
  HACCEL accelerators_ = nullptr;
  std::map<int, HBITMAP> pictures_;
  std::map<int, HICON> icons_;
  std::map<UINT_PTR, std::function<void()>> timers_;
  UINT_PTR next_timer_ = 1;

  std::mutex dirty_mutex_;
  std::set<int> dirty_;
  bool flush_posted_ = false;
  bool closed_ = false;
};

// The filter of a file dialog ("Bin Files(*.bin) | *.bin;||") as
// GetOpenFileNameW takes it: description, NUL, patterns joined by ';', NUL,
// ..., and a final NUL.
std::wstring DialogFilter(std::string_view filter);

}  // namespace quorrel::win32
