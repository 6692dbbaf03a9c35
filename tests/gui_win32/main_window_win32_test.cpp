#include "gui_win32/main_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>

#include "gui_win32/rc_script.h"
#include "lines/control_ids.h"
#include "platform/memory_wire.h"
#include "platform/scoped_root.h"
#include "support/sim_line.h"

#include <commctrl.h>

namespace quorrel::win32 {
namespace {

using namespace std::chrono_literals;

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
  const std::string text = "Прогресс: 全部停止 ok";
  EXPECT_EQ(Utf8(Wide(text)), text);
  EXPECT_EQ(Wide("Загрузка"), L"Загрузка");
  EXPECT_TRUE(Wide("").empty());
}

TEST(Win32Text, FileFilterAsTheOpenDialogTakesIt) {
  using namespace std::string_literals;
  EXPECT_EQ(DialogFilter("Bin Files(*.bin) | *.bin;||"), L"Bin Files(*.bin)\0*.bin\0\0"s);
  EXPECT_EQ(DialogFilter("Images | *.mbn; *.bin |NVM|*.NVM||"),
            L"Images\0*.mbn;*.bin\0NVM\0*.NVM\0\0"s);
  // Nothing usable: an empty list, still ended.
  EXPECT_EQ(DialogFilter(""), L"\0"s);
}

// Runs the window thread's messages until done() holds or the bound passes.
template <typename Done>
bool PumpUntil(HWND dialog, Done done) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageW(dialog, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

std::wstring ItemText(HWND dialog, int id) {
  wchar_t buffer[256] = {};
  GetDlgItemTextW(dialog, id, buffer, 256);
  return buffer;
}

bool Shown(HWND w) {
  return w != nullptr && (GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0;
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    options_.exitProcess = [this](int) { exited_ = true; };
  }
  void SetUp() override {
    // The templates are this program's own resources.
    ASSERT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(kFormTemplateId), MAKEINTRESOURCEW(5)),
              nullptr);
    // Without a desktop (Wine without a display) no window can be made.
    HWND probe = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                 nullptr);
    if (probe == nullptr) GTEST_SKIP() << "no desktop to make windows on";
    DestroyWindow(probe);
  }
  testing::ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  FormModel form_{doc_, "C:\\work"};
  WindowOptions options_;
  bool exited_ = false;
};

TEST_F(MainWindowTest, ChangesFromALineThreadReachTheControlsThroughPostedCalls) {
  MainWindow window(form_, options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  HWND dialog = window.hwnd();
  std::thread line([this] {
    form_.SetControlText(controls::kStateLine, "Идёт загрузка");
    form_.SetProgress(0, 40);
    form_.EnableControl(controls::kDownload, false);
  });
  line.join();
  // Nothing is touched off the window thread: the changes wait in the queue.
  EXPECT_EQ(ItemText(dialog, controls::kStateLine), L"Waiting...");
  ASSERT_TRUE(PumpUntil(
      dialog, [&] { return ItemText(dialog, controls::kStateLine) == L"Идёт загрузка"; }));
  EXPECT_EQ(SendDlgItemMessageW(dialog, controls::ProgressBar(0), PBM_GETPOS, 0, 0), 40);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, controls::kDownload)));
  // The station's controls stay hidden on the one-line form.
  EXPECT_FALSE(Shown(GetDlgItem(dialog, controls::kAllStart)));
  EXPECT_TRUE(Shown(GetDlgItem(dialog, controls::kDownload)));
}

TEST_F(MainWindowTest, AMessageBoxHoldsTheLineThreadUntilAnswered) {
  MainWindow window(form_, options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  HWND dialog = window.hwnd();
  std::atomic<bool> returned{false};
  std::atomic<int> answer{0};
  std::thread line([&] {
    answer = static_cast<int>(form_.MessageBox(
        {"Продолжить?", "quorrel-test-box", MessageButtons::YesNo, MessageIcon::Warning}));
    returned = true;
  });
  // Someone at the box: answers No once it shows, and notes that the line
  // thread was still waiting then.
  std::atomic<bool> waitedForAnswer{false};
  std::thread user([&] {
    const auto until = std::chrono::steady_clock::now() + 10s;
    HWND box = nullptr;
    while (box == nullptr && std::chrono::steady_clock::now() < until) {
      box = FindWindowW(L"#32770", L"quorrel-test-box");
      if (box == nullptr) std::this_thread::sleep_for(10ms);
    }
    if (box == nullptr) return;
    waitedForAnswer = !returned;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
  });
  const bool done = PumpUntil(dialog, [&] { return returned.load(); });
  user.join();
  if (!done) {
    // Unblock the line thread before failing.
    HWND box = FindWindowW(L"#32770", L"quorrel-test-box");
    if (box != nullptr) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    PumpUntil(dialog, [&] { return returned.load(); });
  }
  line.join();
  ASSERT_TRUE(done);
  EXPECT_TRUE(waitedForAnswer);
  EXPECT_EQ(answer, static_cast<int>(MessageResult::No));
}

TEST_F(MainWindowTest, StationFormShowsEveryLineAndWidens) {
  options_.allLines = true;
  MainWindow window(form_, options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  HWND dialog = window.hwnd();
  RECT want{0, 0, kStationFormSize.width, kStationFormSize.height};
  MapDialogRect(dialog, &want);
  RECT client{};
  GetClientRect(dialog, &client);
  EXPECT_EQ(client.right, want.right);
  EXPECT_EQ(client.bottom, want.bottom);
  for (int id : {controls::kAllStart, controls::StopButton(7), controls::RestorePortButton(7)}) {
    EXPECT_TRUE(Shown(GetDlgItem(dialog, id))) << id;
  }
}

TEST_F(MainWindowTest, CloseEndsTheProcessWhenNoLineRuns) {
  MainWindow window(form_, options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  window.RequestClose(true);
  ASSERT_TRUE(PumpUntil(window.hwnd(), [&] { return exited_; }));
}

// Answers the first box with that caption from another thread; true once
// it has.
void AnswerBox(const wchar_t* caption, int button, std::atomic<bool>* answered) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    if (HWND box = FindWindowW(L"#32770", caption)) {
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
      *answered = true;
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
}

TEST_F(MainWindowTest, CloseAsksWhileALineRunsAndStaysOpenOnNo) {
  testsupport::SimLine s;
  s.doc_.line(0).settings.diagPort = 0;
  MainWindow window(s.form(), options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  CQuorrelView view(s.doc_, s.form(), s.controller(), window.Hooks());
  window.SetView(&view);
  s.doc_.line(6).runFlag = 1;

  std::atomic<bool> answered{false};
  std::thread user(AnswerBox, L"Предупреждение", IDNO, &answered);
  PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  const bool asked = PumpUntil(window.hwnd(), [&] { return answered.load(); });
  user.join();
  ASSERT_TRUE(asked);
  EXPECT_FALSE(exited_);

  answered = false;
  std::thread yes(AnswerBox, L"Предупреждение", IDYES, &answered);
  window.RequestClose(true);
  EXPECT_TRUE(PumpUntil(window.hwnd(), [&] { return exited_; }));
  yes.join();
  EXPECT_TRUE(answered);
  view.Shutdown();
}

// Ctrl with a key, as the window's message loop gets it.
bool PressCtrl(MainWindow& window, char key) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  BYTE pressed[256];
  std::copy(std::begin(keys), std::end(keys), std::begin(pressed));
  pressed[VK_CONTROL] = 0x80;
  SetKeyboardState(pressed);
  MSG msg{};
  msg.hwnd = GetDlgItem(window.hwnd(), controls::kDownload);
  msg.message = WM_KEYDOWN;
  msg.wParam = static_cast<WPARAM>(key);
  msg.lParam = 1;
  const bool taken = window.PreTranslate(msg);
  SetKeyboardState(keys);
  return taken;
}

TEST_F(MainWindowTest, CtrlSSavesTheDocumentAndCtrlOOpensNothing) {
  testsupport::SimLine s;
  s.doc_.line(0).settings.diagPort = 0;
  s.doc_.line(6).settings.atPort = 42;
  MainWindow window(s.form(), options_);
  ASSERT_TRUE(window.Create(GetModuleHandleW(nullptr)));
  CQuorrelView view(s.doc_, s.form(), s.controller(), window.Hooks());
  window.SetView(&view);
  wchar_t temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::string path = Utf8(temp) + "quorrel-station.doc";
  DeleteFileW(Wide(path).c_str());
  int saveDialogs = 0;
  int openDialogs = 0;
  s.form().SetSaveFileChooser([&](std::string_view, std::string_view) {
    ++saveDialogs;
    return std::optional<std::string>(path);
  });
  s.form().SetFileChooser([&](std::string_view) {
    ++openDialogs;
    return std::optional<std::string>(path);
  });

  EXPECT_TRUE(PressCtrl(window, 'O'));
  EXPECT_EQ(openDialogs + saveDialogs, 0);
  EXPECT_TRUE(PressCtrl(window, 'S'));
  EXPECT_EQ(saveDialogs, 1);
  EXPECT_EQ(openDialogs, 0);
  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc loaded(clock, ports);
  std::string error;
  EXPECT_TRUE(loaded.LoadFromFile(path, &error)) << error;
  EXPECT_EQ(loaded.SaveSettings(), s.doc_.SaveSettings());
  EXPECT_EQ(loaded.line(6).settings.atPort, 42);
  DeleteFileW(Wide(path).c_str());
  view.Shutdown();
}

}  // namespace
}  // namespace quorrel::win32
