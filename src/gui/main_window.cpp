#include "gui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gui/pictures.h"

namespace quorrel::gui {

namespace {

QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
std::string S(const QString& s) {
  return s.toUtf8().toStdString();
}

int ScreenDpi() {
  QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
  return dpi > 0 ? static_cast<int>(std::lround(dpi)) : 96;
}

// The Windows form of a filter ("Bin Files(*.bin) | *.bin;||") as Qt takes it.
QString QtFilter(std::string_view filter) {
  QStringList out;
  for (const FileFilter& f : ParseFileFilter(filter)) {
    QStringList patterns;
    for (const std::string& p : f.patterns) patterns << Q(p);
    out << Q(f.description) + " (" + patterns.join(' ') + ")";
  }
  return out.join(";;");
}

QRect ToRect(const PixelRect& r) {
  return QRect(r.x, r.y, r.width, r.height);
}

// A button's icon beside its text: the smallest icon worth showing, the gap
// between the two and the room the frame takes on either side (pixels).
constexpr int kSmallestIcon = 8;
constexpr int kIconSpacing = 4;
constexpr int kButtonPadding = 6;

void DefaultExit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace

QFont FormFont() {
  QFont font(kFormFontFamily);
  font.setFamilies({kFormFontFamily, "Liberation Sans"});
  font.setPixelSize(MulDiv(kFormFontPoints, ScreenDpi(), 72));
  font.setStyleHint(QFont::SansSerif);
  return font;
}

DialogBaseUnits BaseUnits(const QFont& font) {
  QFontMetrics metrics(font);
  return DialogBaseUnits{
      AverageCharWidth(metrics.horizontalAdvance(QString::fromLatin1(kAlphabet))),
      metrics.height()};
}

MainWindow::MainWindow(FormModel& form, WindowOptions options)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      form_(form),
      options_(std::move(options)),
      font_(FormFont()) {
  if (!options_.exitProcess) options_.exitProcess = DefaultExit;
  units_ = BaseUnits(font_);
  // The dot labels: bold, their cells 15 pixels high.
  dot_font_ = font_;
  dot_font_.setWeight(QFont::Weight(kDotFontWeight));
  for (int px = kDotFontHeight; px > 4; --px) {
    dot_font_.setPixelSize(px);
    if (QFontMetrics(dot_font_).height() <= kDotFontHeight) break;
  }
  setFont(font_);
  setWindowIcon(ProgramIcon());
  setWindowTitle(Q(form_.Title()));

  form_.ShowStation(options_.allLines);
  Build();

  form_.SetControlListener([this](int id) { MarkDirty(id); });
  form_.SetMessageBoxHandler([this](const MessageBoxRequest& r) { return ShowBox(r); });
  form_.SetFolderBrowser([this](std::string_view title) {
    const QString caption = Q(title);
    return OnUiThread([this, caption]() -> std::optional<std::string> {
      QString dir = QFileDialog::getExistingDirectory(DialogParent(), caption);
      if (dir.isEmpty()) return std::nullopt;
      return S(QDir::toNativeSeparators(dir));
    });
  });
  form_.SetFileChooser([this](std::string_view filter) {
    const QString qtFilter = QtFilter(filter);
    return OnUiThread([this, qtFilter]() -> std::optional<std::string> {
      QString file = QFileDialog::getOpenFileName(DialogParent(), QString(), QString(), qtFilter);
      if (file.isEmpty()) return std::nullopt;
      return S(QDir::toNativeSeparators(file));
    });
  });
  form_.SetSaveFileChooser([this](std::string_view filter, std::string_view name) {
    const QString qtFilter = QtFilter(filter);
    const QString proposed = Q(name);
    return OnUiThread([this, qtFilter, proposed]() -> std::optional<std::string> {
      QString file = QFileDialog::getSaveFileName(DialogParent(), "Save As", proposed, qtFilter);
      if (file.isEmpty()) return std::nullopt;
      return S(QDir::toNativeSeparators(file));
    });
  });
  // The frame's accelerators; the edit keys stay with the focused edit.
  for (const Accelerator& a : kAccelerators) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(a.key)), this);
    connect(shortcut, &QShortcut::activated, this, [this, id = a.command] { Command(id); });
  }

  // A fixed frame around the form, its top edge at y = 200.
  const DialogSize size = form_.FormSize();
  const PixelRect client = DialogToPixels(0, 0, size.width, size.height, units_);
  setFixedSize(client.width, client.height);
  int x = 0;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    x = std::max(0, screen->availableGeometry().x() +
                        (screen->availableGeometry().width() - client.width) / 2);
  }
  move(x, 200);
}

MainWindow::~MainWindow() {
  form_.SetControlListener(nullptr);
  form_.SetMessageBoxHandler(nullptr);
  form_.SetFolderBrowser(nullptr);
  form_.SetFileChooser(nullptr);
  form_.SetSaveFileChooser(nullptr);
}

ViewHooks MainWindow::Hooks() {
  ViewHooks hooks;
  hooks.showAbout = [this] { ShowAbout(); };
  hooks.closeWindow = [this] { RequestClose(true); };
  hooks.runLater = [this](uint32_t ms, std::function<void()> fn) {
    const int delay = static_cast<int>(std::lround(ms * options_.timeScale));
    QTimer::singleShot(delay, this, std::move(fn));
  };
  return hooks;
}

void MainWindow::SetView(CQuorrelView* view) {
  view_ = view;
}

void MainWindow::RequestClose(bool ask) {
  QMetaObject::invokeMethod(
      this,
      [this, ask] {
        ask_on_close_ = ask;
        close();
        ask_on_close_ = true;
      },
      Qt::QueuedConnection);
}

QWidget* MainWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

// ---- building ----

void MainWindow::Build() {
  for (const TemplateControl& entry : FormTemplate()) {
    QWidget* w = MakeControl(entry);
    w->setGeometry(ToRect(DialogToPixels(entry, units_)));
    w->setFont((entry.style & style::kBold) != 0 ? dot_font_ : font_);
    if (entry.id == kNoControlId) {
      const bool shown = (entry.style & style::kVisible) != 0 ||
                         (form_.StationShown() && (entry.style & style::kStation) != 0);
      w->setVisible(shown);
      continue;
    }
    w->setObjectName(QString::number(entry.id));
    controls_[entry.id] = w;
    Apply(entry.id);
  }
}

QWidget* MainWindow::MakeControl(const TemplateControl& entry) {
  const int id = entry.id;
  switch (entry.kind) {
    case ControlKind::Button: {
      auto* b = new QPushButton(Q(entry.text), this);
      b->setFocusPolicy((entry.style & style::kTabStop) != 0 ? Qt::StrongFocus : Qt::NoFocus);
      connect(b, &QPushButton::clicked, this, [this, id] { Command(id); });
      return b;
    }
    case ControlKind::RadioButton: {
      auto* r = new QRadioButton(Q(entry.text), this);
      // The model keeps each group's choice.
      r->setAutoExclusive(false);
      connect(r, &QRadioButton::clicked, this, [this, id] { Command(id); });
      return r;
    }
    case ControlKind::CheckBox: {
      auto* c = new QCheckBox(Q(entry.text), this);
      connect(c, &QCheckBox::clicked, this, [this, id] { Command(id); });
      return c;
    }
    case ControlKind::Edit: {
      auto* e = new QLineEdit(Q(entry.text), this);
      e->setReadOnly((entry.style & style::kReadOnly) != 0);
      return e;
    }
    case ControlKind::ProgressBar: {
      auto* p = new QProgressBar(this);
      p->setRange(0, 100);
      p->setValue(0);
      p->setTextVisible(false);
      return p;
    }
    case ControlKind::Picture: {
      auto* l = new QLabel(this);
      l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return l;
    }
    case ControlKind::Static:
    default: {
      auto* l = new QLabel(Q(entry.text), this);
      // Static texts wrap at their width and sit on the form's background.
      l->setWordWrap(true);
      l->setAlignment(((entry.style & style::kCentre) != 0 ? Qt::AlignHCenter : Qt::AlignLeft) |
                      Qt::AlignTop);
      l->setTextFormat(Qt::PlainText);
      return l;
    }
  }
}

// ---- the model's changes ----

void MainWindow::MarkDirty(int id) {
  std::lock_guard<std::mutex> lock(dirty_mutex_);
  dirty_.insert(id);
  if (flush_posted_) return;
  flush_posted_ = true;
  QMetaObject::invokeMethod(
      this, [this] { Flush(); }, Qt::QueuedConnection);
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
    setWindowTitle(Q(form_.Title()));
    return;
  }
  QWidget* w = Control(id);
  if (w == nullptr) return;
  const ControlState state = form_.Control(id);
  w->setEnabled(state.enabled);
  w->setVisible(state.visible);
  const QString text = Q(state.text);
  if (auto* b = qobject_cast<QPushButton*>(w)) {
    b->setText(text);
    if (state.icon != 0) {
      // The text as the form has it, and the icon beside it where the
      // button has room for both.
      const int side = std::min(32, b->height() - 8);
      const int needed =
          side + kIconSpacing + b->fontMetrics().horizontalAdvance(text) + 2 * kButtonPadding;
      if (side >= kSmallestIcon && needed <= b->width()) {
        b->setIcon(state.icon == kIconStop ? StopIcon() : StartIcon());
        b->setIconSize(QSize(side, side));
      } else {
        b->setIcon(QIcon());
      }
    }
  } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
    r->setText(text);
    r->setChecked(state.checked);
  } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
    c->setText(text);
    c->setChecked(state.checked);
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    if (e->text() != text) e->setText(text);
  } else if (auto* p = qobject_cast<QProgressBar*>(w)) {
    p->setRange(state.rangeLow, state.rangeHigh);
    p->setValue(state.position);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    if (state.kind == ControlKind::Picture) {
      if (state.image == 0) {
        l->clear();
      } else {
        auto it = pictures_.find(state.image);
        if (it == pictures_.end())
          it = pictures_.emplace(state.image, StatusPicture(state.image)).first;
        l->setPixmap(QPixmap::fromImage(it->second));
      }
    } else {
      l->setText(text);
    }
  }
}

void MainWindow::Command(int id) {
  if (view_ != nullptr) view_->OnCommand(id);
  // Radio buttons and check boxes show the model's choice, not the click's.
  Flush();
  Apply(id);
}

// ---- dialogs ----

QWidget* MainWindow::DialogParent() {
  return isVisible() ? this : nullptr;
}

MessageResult MainWindow::ShowBox(const MessageBoxRequest& request) {
  if (QThread::currentThread() == thread()) return RunBox(request);
  // A line thread waits here for the answer.
  MessageResult result =
      request.buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
  QMetaObject::invokeMethod(
      this, [&] { result = RunBox(request); }, Qt::BlockingQueuedConnection);
  return result;
}

std::optional<std::string> MainWindow::OnUiThread(
    const std::function<std::optional<std::string>()>& fn) {
  if (QThread::currentThread() == thread()) return fn();
  std::optional<std::string> result;
  QMetaObject::invokeMethod(
      this, [&] { result = fn(); }, Qt::BlockingQueuedConnection);
  return result;
}

MessageResult MainWindow::RunBox(const MessageBoxRequest& request) {
  // What the line threads changed before they asked is shown first.
  Flush();
  QMessageBox box(DialogParent());
  box.setWindowTitle(Q(request.caption.empty() ? form_.Title() : request.caption));
  box.setText(Q(request.text));
  box.setTextFormat(Qt::PlainText);
  switch (request.icon) {
    case MessageIcon::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case MessageIcon::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case MessageIcon::Error:
    case MessageIcon::Stop:
      box.setIcon(QMessageBox::Critical);
      break;
    case MessageIcon::None:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  if (request.buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return MessageResult::Ok;
}

void MainWindow::ShowAbout() {
  QDialog about(this, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint);
  about.setObjectName("about");
  about.setWindowTitle(Q(AboutTitle()));
  about.setFont(font_);
  const PixelRect size = DialogToPixels(0, 0, kAboutSize.width, kAboutSize.height, units_);
  about.setFixedSize(size.width, size.height);
  for (const TemplateControl& entry : AboutTemplate()) {
    QWidget* w = nullptr;
    if (entry.kind == ControlKind::Button) {
      auto* ok = new QPushButton(Q(entry.text), &about);
      ok->setDefault(true);
      connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
      w = ok;
    } else if (entry.kind == ControlKind::Picture) {
      auto* icon = new QLabel(&about);
      icon->setPixmap(ProgramIcon().pixmap(32, 32));
      w = icon;
    } else {
      auto* label = new QLabel(Q(entry.text), &about);
      label->setWordWrap(true);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      w = label;
    }
    w->setObjectName(QString::number(entry.id));
    w->setGeometry(ToRect(DialogToPixels(entry, units_)));
  }
  about.exec();
}

// ---- closing ----

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  if (ask_on_close_ && view_ != nullptr && !view_->ConfirmClose()) {
    event->ignore();
    return;
  }
  closed_ = true;
  event->accept();
  // Whatever a line waits for: its threads park, the release goes, and the
  // process ends without waiting for any of them.
  if (view_ != nullptr) {
    view_->Shutdown();
    view_->OnDestroy();
  }
  options_.exitProcess(0);
}

}  // namespace quorrel::gui
