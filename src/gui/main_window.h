// The main window in Qt Widgets: a fixed-size frame whose client area is the
// form, built from the form template and kept in step with the form model.
//
// The line threads never touch a widget. Every change of the model reaches
// the window as a queued call (changes that come quickly one after another
// are applied together), and a message box or a dialog asked for by a line
// thread is shown by the user-interface thread while the line thread waits
// for the answer; the window goes on painting meanwhile.
#pragma once

#include <QFont>
#include <QImage>
#include <QWidget>

#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "app/form_layout.h"
#include "app/form_model.h"
#include "app/quorrel_view.h"

class QCloseEvent;

namespace quorrel::gui {

struct WindowOptions {
  // Show every line's controls and the options.
  bool allLines = false;
  // The time scale of the program's clock, for the view's timers.
  double timeScale = 1.0;
  // Ends the process once the window has closed. The default flushes the
  // output and leaves at once: parked line threads are never awaited.
  std::function<void(int exitCode)> exitProcess;
};

// The form font: Arial 9 (a metric-compatible family where Arial is missing).
QFont FormFont();
// The dialog base units of a font.
DialogBaseUnits BaseUnits(const QFont& font);

class MainWindow : public QWidget {
 public:
  MainWindow(FormModel& form, WindowOptions options);
  ~MainWindow() override;

  // The hooks the view needs from the window.
  ViewHooks Hooks();
  // The view whose commands the controls send; set before the window shows.
  void SetView(CQuorrelView* view);

  // Closes the window from any thread: asks first while a line runs, or,
  // with ask false (the job's request after a failed version check), not.
  void RequestClose(bool ask);

  // The control with that identifier (its object name), or nullptr.
  QWidget* Control(int id) const;
  const QFont& formFont() const { return font_; }
  DialogBaseUnits units() const { return units_; }
  // Applies the model's pending changes now.
  void Flush();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Build();
  QWidget* MakeControl(const TemplateControl& entry);
  void Apply(int id);
  void MarkDirty(int id);
  void Command(int id);
  MessageResult ShowBox(const MessageBoxRequest& request);
  MessageResult RunBox(const MessageBoxRequest& request);
  std::optional<std::string> OnUiThread(const std::function<std::optional<std::string>()>& fn);
  void ShowAbout();
  QWidget* DialogParent();

  FormModel& form_;
  WindowOptions options_;
  CQuorrelView* view_ = nullptr;
  QFont font_;
  QFont dot_font_;
  DialogBaseUnits units_{};
  std::map<int, QWidget*> controls_;
  std::map<int, QImage> pictures_;

  std::mutex dirty_mutex_;
  std::set<int> dirty_;
  bool flush_posted_ = false;
  bool ask_on_close_ = true;
  bool closed_ = false;
};

}  // namespace quorrel::gui
