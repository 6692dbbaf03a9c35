// The window over line 1 and the in-process modem on the virtual clock, and a
// user who answers its message boxes.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/quorrel_view.h"
#include "gui/main_window.h"
#include "release/embedded_resources.h"
#include "support/sim_line.h"

namespace quorrel::testsupport {

// The state line's text while a line waits for its start.
inline constexpr char kReady[] = "Готово. Нажмите кнопку для начала обновления";

// What a label, button or edit field shows.
inline QString Text(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  return {};
}

// Runs the event loop until pred holds; false after timeout (real time).
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 60000) {
  QElapsedTimer timer;
  timer.start();
  while (!pred()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
  }
  return true;
}

// Answers every message box the application shows, as a user would: finds
// the modal box, notes its text and clicks the button the policy picks.
class BoxAnswerer {
 public:
  using Policy = std::function<QMessageBox::StandardButton(const QMessageBox& box)>;

  explicit BoxAnswerer(Policy policy = {}) : policy_(std::move(policy)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start();
  }

  void SetPolicy(Policy policy) { policy_ = std::move(policy); }
  const std::vector<std::string>& Texts() const { return texts_; }

 private:
  void Look() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    texts_.push_back(box->text().toStdString());
    QMessageBox::StandardButton choice = QMessageBox::NoButton;
    if (policy_) choice = policy_(*box);
    if (choice == QMessageBox::NoButton) {
      choice = box->button(QMessageBox::Ok) != nullptr ? QMessageBox::Ok : QMessageBox::Yes;
    }
    box->button(choice)->click();
  }

  QTimer timer_;
  Policy policy_;
  std::vector<std::string> texts_;
};

class GuiLine {
 public:
  explicit GuiLine(bool allLines = false) {
    gui::WindowOptions options;
    options.allLines = allLines;
    options.timeScale = 0;
    options.exitProcess = [this](int code) { windowExit = code; };
    window = std::make_unique<gui::MainWindow>(line.form(), options);
    view =
        std::make_unique<CQuorrelView>(line.doc_, line.form(), line.controller(), window->Hooks());
    window->SetView(view.get());
  }
  ~GuiLine() {
    view->Shutdown();
    window.reset();
    view.reset();
  }

  // Start-up and show, as the program does.
  bool Start() {
    if (view->OnInitialUpdate(EmbeddedResources()) != StartupResult::Ready) return false;
    window->show();
    window->Flush();
    return true;
  }

  QWidget* Control(int id) { return window->Control(id); }

  SimLine line;
  int windowExit = -1;
  std::unique_ptr<gui::MainWindow> window;
  std::unique_ptr<CQuorrelView> view;
};

}  // namespace quorrel::testsupport
