#include "gui_win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "gui_win32/rc_script.h"

namespace quorrel::win32 {

static_assert(commands::kUninstallAllMessage == WM_USER + 1);

namespace {

// A call posted to the window thread; the window thread runs it and frees it.
struct QueuedCall {
  std::function<void()> fn;
};

void DefaultExit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

void SetText(HWND w, std::string_view text) {
  SetWindowTextW(w, Wide(text).c_str());
}

std::wstring TextOf(HWND w) {
  const int n = GetWindowTextLengthW(w);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(w, out.data(), n + 1);
  out.resize(static_cast<size_t>(std::max(got, 0)));
  return out;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* icon = reinterpret_cast<HICON>(lParam);
      SetWindowTextW(dialog, Wide(AboutTitle()).c_str());
      for (const TemplateControl& entry : AboutTemplate()) {
        HWND w = GetDlgItem(dialog, entry.id);
        if (w == nullptr) continue;
        if (entry.kind == ControlKind::Picture) {
          // The template's picture holds a bitmap; the About box shows the
          // program's icon there.
          LONG_PTR s = GetWindowLongPtrW(w, GWL_STYLE);
          s = (s & ~static_cast<LONG_PTR>(SS_TYPEMASK)) | SS_ICON | SS_CENTERIMAGE;
          SetWindowLongPtrW(w, GWL_STYLE, s);
          if (icon != nullptr)
            SendMessageW(w, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
        } else {
          SetText(w, entry.text);  // the version is the program's, not the template's
        }
      }
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > static_cast<size_t>(INT_MAX)) return {};
  const int in = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, out.data(), n);
  return out;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX)) return {};
  const int in = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), in, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), in, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring DialogFilter(std::string_view filter) {
  std::wstring out;
  for (const FileFilter& f : ParseFileFilter(filter)) {
    std::string patterns;
    for (const std::string& p : f.patterns) {
      if (!patterns.empty()) patterns += ';';
      patterns += p;
    }
    if (patterns.empty()) continue;
    out += Wide(f.description);
    out += L'\0';
    out += Wide(patterns);
    out += L'\0';
  }
  out += L'\0';
  return out;
}

MainWindow::MainWindow(FormModel& form, WindowOptions options)
    : form_(form), options_(std::move(options)) {
  if (!options_.exitProcess) options_.exitProcess = DefaultExit;
}

MainWindow::~MainWindow() {
  form_.SetControlListener(nullptr);
  form_.SetMessageBoxHandler(nullptr);
  form_.SetFolderBrowser(nullptr);
  form_.SetFileChooser(nullptr);
  form_.SetSaveFileChooser(nullptr);
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  for (auto& [id, bitmap] : pictures_) DeleteObject(bitmap);
  for (auto& [id, icon] : icons_) DestroyIcon(icon);
  if (dot_font_ != nullptr) DeleteObject(dot_font_);
}

bool MainWindow::Create(HINSTANCE instance) {
  instance_ = instance;
  thread_ = std::this_thread::get_id();
  INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX),
                              ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  hwnd_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(kFormTemplateId), nullptr, DialogProc,
                             reinterpret_cast<LPARAM>(this));
  if (hwnd_ == nullptr) return false;
  // A resource of the program, freed with it.
  accelerators_ = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(kAcceleratorsId));
  if (HICON icon = Icon(kIconProgram, 32))
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  if (HICON icon = Icon(kIconProgram, 16))
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  form_.ShowStation(options_.allLines);
  Build();
  form_.SetControlListener([this](int id) { MarkDirty(id); });
  form_.SetMessageBoxHandler([this](const MessageBoxRequest& r) { return ShowBox(r); });
  form_.SetFolderBrowser([this](std::string_view title) {
    const std::wstring caption = Wide(title);
    return OnUiThread([this, caption]() -> std::optional<std::string> {
      BROWSEINFOW info{};
      info.hwndOwner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
      info.lpszTitle = caption.c_str();
      info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
      PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
      if (list == nullptr) return std::nullopt;
      wchar_t path[MAX_PATH] = {};
      const bool ok = SHGetPathFromIDListW(list, path) != FALSE;
      CoTaskMemFree(list);
      if (!ok || path[0] == L'\0') return std::nullopt;
      return Utf8(path);
    });
  });
  form_.SetFileChooser([this](std::string_view filter) {
    const std::wstring winFilter = DialogFilter(filter);
    return OnUiThread([this, winFilter]() -> std::optional<std::string> {
      std::vector<wchar_t> file(32768, L'\0');
      OPENFILENAMEW ofn{};
      ofn.lStructSize = sizeof ofn;
      ofn.hwndOwner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
      ofn.lpstrFilter = winFilter.c_str();
      ofn.lpstrFile = file.data();
      ofn.nMaxFile = static_cast<DWORD>(file.size());
      ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
      if (!GetOpenFileNameW(&ofn)) return std::nullopt;
      return Utf8(file.data());
    });
  });
  form_.SetSaveFileChooser([this](std::string_view filter, std::string_view name) {
    const std::wstring winFilter = DialogFilter(filter);
    const std::wstring proposed = Wide(name);
    return OnUiThread([this, winFilter, proposed]() -> std::optional<std::string> {
      std::vector<wchar_t> file(32768, L'\0');
      std::copy(proposed.begin(), proposed.begin() + std::min(proposed.size(), file.size() - 1),
                file.begin());
      OPENFILENAMEW ofn{};
      ofn.lStructSize = sizeof ofn;
      ofn.hwndOwner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
      ofn.lpstrFilter = winFilter.c_str();
      ofn.lpstrFile = file.data();
      ofn.nMaxFile = static_cast<DWORD>(file.size());
      ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
      if (!GetSaveFileNameW(&ofn)) return std::nullopt;
      return Utf8(file.data());
    });
  });

  // A fixed frame around the form, its top edge at y = 200, centred across.
  const DialogSize size = form_.FormSize();
  RECT client{0, 0, size.width, size.height};
  MapDialogRect(hwnd_, &client);
  RECT frame = client;
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
  const int width = frame.right - frame.left;
  const int screen = GetSystemMetrics(SM_CXSCREEN);
  SetWindowPos(hwnd_, nullptr, std::max(0, (screen - width) / 2), 200, width,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

ViewHooks MainWindow::Hooks() {
  ViewHooks hooks;
  hooks.showAbout = [this] { ShowAbout(); };
  hooks.closeWindow = [this] { RequestClose(true); };
  hooks.runLater = [this](uint32_t ms, std::function<void()> fn) { RunLater(ms, std::move(fn)); };
  return hooks;
}

int MainWindow::Run() {
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!PreTranslate(msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

bool MainWindow::PreTranslate(MSG& msg) {
  if (accelerators_ != nullptr && TranslateAcceleratorW(hwnd_, accelerators_, &msg) != 0)
    return true;
  return IsDialogMessageW(hwnd_, &msg) != FALSE;
}

bool MainWindow::OnWindowThread() const {
  return std::this_thread::get_id() == thread_;
}

bool MainWindow::Post(std::function<void()> fn) {
  if (hwnd_ == nullptr) return false;
  auto* call = new QueuedCall{std::move(fn)};
  if (!PostMessageW(hwnd_, kRunCallMessage, 0, reinterpret_cast<LPARAM>(call))) {
    delete call;
    return false;
  }
  return true;
}

void MainWindow::RequestClose(bool ask) {
  Post([this, ask] {
    if (closed_) return;
    if (ask && view_ != nullptr && !view_->ConfirmClose()) return;
    Close();
  });
}

void MainWindow::Close() {
  if (closed_) return;
  closed_ = true;
  // Whatever a line waits for: its threads park, the release goes, and the
  // process ends without waiting for any of them.
  if (view_ != nullptr) {
    view_->Shutdown();
    view_->OnDestroy();
  }
  options_.exitProcess(0);
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    reinterpret_cast<MainWindow*>(lParam)->hwnd_ = hwnd;
    return TRUE;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->Handle(message, wParam, lParam);
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunCallMessage: {
      std::unique_ptr<QueuedCall> call(reinterpret_cast<QueuedCall*>(lParam));
      if (call && call->fn) call->fn();
      return TRUE;
    }
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      // Enter and Escape in a dialog: no command of the form.
      if (lParam == 0 && (id == IDOK || id == IDCANCEL)) return TRUE;
      if (HIWORD(wParam) == BN_CLICKED || lParam == 0) Command(id);
      return TRUE;
    }
    case WM_TIMER: {
      const UINT_PTR timer = wParam;
      KillTimer(hwnd_, timer);
      auto it = timers_.find(timer);
      if (it == timers_.end()) return TRUE;
      std::function<void()> fn = std::move(it->second);
      timers_.erase(it);
      if (fn) fn();
      return TRUE;
    }
    // Another program asks for every driver to go (it finds the window by
    // its title).
    case static_cast<UINT>(commands::kUninstallAllMessage):
      if (view_ != nullptr) view_->OnCommand(commands::kUninstallAllMessage);
      return TRUE;
    case WM_CLOSE:
      if (!closed_ && (view_ == nullptr || view_->ConfirmClose())) Close();
      return TRUE;
    default:
      return FALSE;
  }
}

// ---- building ----

void MainWindow::Build() {
  // The dot labels: bold, their cells 15 pixels high.
  dot_font_ = CreateFontW(kDotFontHeight, 0, 0, 0, kDotFontWeight, FALSE, FALSE, FALSE,
                          DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, Wide(kFormFontFamily).c_str());
  // The controls come in the template's order; the labels without an
  // identifier are found by their place in it.
  const std::vector<TemplateControl>& templateControls = FormTemplate();
  HWND child = GetWindow(hwnd_, GW_CHILD);
  for (const TemplateControl& entry : templateControls) {
    HWND w = child;
    if (child != nullptr) child = GetWindow(child, GW_HWNDNEXT);
    if (entry.id == kNoControlId) {
      if (w != nullptr && GetDlgCtrlID(w) == kNoControlId) {
        const bool shown = (entry.style & style::kVisible) != 0 ||
                           (form_.StationShown() && (entry.style & style::kStation) != 0);
        ShowWindow(w, shown ? SW_SHOWNA : SW_HIDE);
      }
      continue;
    }
    if ((entry.style & style::kBold) != 0 && dot_font_ != nullptr) {
      SendDlgItemMessageW(hwnd_, entry.id, WM_SETFONT, reinterpret_cast<WPARAM>(dot_font_), FALSE);
    }
    Apply(entry.id);
  }
}

// ---- the model's changes ----

void MainWindow::MarkDirty(int id) {
  {
    std::lock_guard<std::mutex> lock(dirty_mutex_);
    dirty_.insert(id);
    if (flush_posted_) return;
    flush_posted_ = true;
  }
  if (!Post([this] { Flush(); })) {
    std::lock_guard<std::mutex> lock(dirty_mutex_);
    flush_posted_ = false;
  }
}

void MainWindow::Flush() {
  std::set<int> ids;
  {
    std::lock_guard<std::mutex> lock(dirty_mutex_);
    ids.swap(dirty_);
    flush_posted_ = false;
  }
  for (int id : ids) Apply(id);
}

void MainWindow::Apply(int id) {
  if (id == kTitleChanged) {
    SetWindowTextW(hwnd_, Wide(form_.Title()).c_str());
    return;
  }
  HWND w = GetDlgItem(hwnd_, id);
  if (w == nullptr) return;
  const ControlState state = form_.Control(id);
  EnableWindow(w, state.enabled ? TRUE : FALSE);
  // The style, not IsWindowVisible: the form itself may not show yet.
  const bool shown = (GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != state.visible) ShowWindow(w, state.visible ? SW_SHOWNA : SW_HIDE);
  switch (state.kind) {
    case ControlKind::Button: {
      if (TextOf(w) != Wide(state.text)) SetText(w, state.text);
      HICON icon = nullptr;
      if (state.icon != 0) {
        RECT r{};
        GetClientRect(w, &r);
        icon = Icon(state.icon, std::clamp(static_cast<int>(r.bottom - r.top) - 8, 8, 32));
      }
      SendMessageW(w, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
      break;
    }
    case ControlKind::RadioButton:
    case ControlKind::CheckBox:
      if (TextOf(w) != Wide(state.text)) SetText(w, state.text);
      SendMessageW(w, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    case ControlKind::ProgressBar:
      SendMessageW(w, PBM_SETRANGE32, static_cast<WPARAM>(state.rangeLow),
                   static_cast<LPARAM>(state.rangeHigh));
      SendMessageW(w, PBM_SETPOS, static_cast<WPARAM>(state.position), 0);
      break;
    case ControlKind::Picture:
      SendMessageW(w, STM_SETIMAGE, IMAGE_BITMAP,
                   reinterpret_cast<LPARAM>(state.image == 0 ? nullptr : Picture(state.image)));
      break;
    case ControlKind::Edit:
    case ControlKind::Static:
    default:
      if (TextOf(w) != Wide(state.text)) SetText(w, state.text);
      break;
  }
}

HBITMAP MainWindow::Picture(int bitmap) {
  auto it = pictures_.find(bitmap);
  if (it != pictures_.end()) return it->second;
  auto* h =
      static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(bitmap), IMAGE_BITMAP, 0, 0, 0));
  if (h != nullptr) pictures_[bitmap] = h;
  return h;
}

HICON MainWindow::Icon(int icon, int side) {
  const int key = icon * 1000 + side;
  auto it = icons_.find(key);
  if (it != icons_.end()) return it->second;
  auto* h =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(icon), IMAGE_ICON, side, side, 0));
  if (h != nullptr) icons_[key] = h;
  return h;
}

void MainWindow::Command(int id) {
  if (view_ != nullptr) view_->OnCommand(id);
  // Radio buttons and check boxes show the model's choice, not the click's.
  Flush();
  Apply(id);
}

void MainWindow::RunLater(uint32_t ms, std::function<void()> fn) {
  if (!OnWindowThread()) {
    Post([this, ms, fn = std::move(fn)]() mutable { RunLater(ms, std::move(fn)); });
    return;
  }
  const double scaled = std::lround(static_cast<double>(ms) * options_.timeScale);
  const UINT delay = static_cast<UINT>(std::clamp(scaled, 1.0, static_cast<double>(INT_MAX)));
  const UINT_PTR timer = next_timer_++;
  timers_[timer] = std::move(fn);
  if (SetTimer(hwnd_, timer, delay, nullptr) == 0) {
    // No timer to be had: run it now rather than never.
    std::function<void()> now = std::move(timers_[timer]);
    timers_.erase(timer);
    if (now) now();
  }
}

// ---- dialogs ----

MessageResult MainWindow::ShowBox(const MessageBoxRequest& request) {
  if (OnWindowThread()) return RunBox(request);
  const MessageResult fallback =
      request.buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
  // A line thread waits here for the answer.
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    MessageResult result;
  };
  auto wait = std::make_shared<Wait>();
  wait->result = fallback;
  const bool posted = Post([this, wait, request] {
    const MessageResult r = RunBox(request);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->result = r;
    wait->answered = true;
    wait->done.notify_all();
  });
  if (!posted) return fallback;
  std::unique_lock<std::mutex> lock(wait->mutex);
  wait->done.wait(lock, [&] { return wait->answered; });
  return wait->result;
}

std::optional<std::string> MainWindow::OnUiThread(
    const std::function<std::optional<std::string>()>& fn) {
  if (OnWindowThread()) return fn();
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    std::optional<std::string> result;
  };
  auto wait = std::make_shared<Wait>();
  const bool posted = Post([wait, fn] {
    std::optional<std::string> r = fn();
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->result = std::move(r);
    wait->answered = true;
    wait->done.notify_all();
  });
  if (!posted) return std::nullopt;
  std::unique_lock<std::mutex> lock(wait->mutex);
  wait->done.wait(lock, [&] { return wait->answered; });
  return wait->result;
}

MessageResult MainWindow::RunBox(const MessageBoxRequest& request) {
  // What the line threads changed before they asked is shown first.
  Flush();
  UINT type = MB_OK;
  if (request.buttons == MessageButtons::YesNo) type = MB_YESNO | MB_DEFBUTTON1;
  switch (request.icon) {
    case MessageIcon::Information:
      type |= MB_ICONINFORMATION;
      break;
    case MessageIcon::Warning:
      type |= MB_ICONWARNING;
      break;
    case MessageIcon::Error:
      type |= MB_ICONERROR;
      break;
    case MessageIcon::Stop:
      type |= MB_ICONSTOP;
      break;
    case MessageIcon::None:
      break;
  }
  HWND owner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
  if (owner == nullptr) type |= MB_TASKMODAL | MB_SETFOREGROUND;
  const std::wstring caption = Wide(request.caption.empty() ? form_.Title() : request.caption);
  const int answer = MessageBoxW(owner, Wide(request.text).c_str(), caption.c_str(), type);
  if (request.buttons == MessageButtons::YesNo)
    return answer == IDYES ? MessageResult::Yes : MessageResult::No;
  return MessageResult::Ok;
}

void MainWindow::ShowAbout() {
  DialogBoxParamW(instance_, MAKEINTRESOURCEW(kAboutTemplateId), hwnd_, AboutProc,
                  reinterpret_cast<LPARAM>(Icon(kIconProgram, 32)));
}

}  // namespace quorrel::win32
