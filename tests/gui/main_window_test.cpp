// The window as a user sees it, offscreen: where the controls are, what they
// say, a download from the click to the success box, closing, the second
// instance, the release button and the status pictures.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "gui/pictures.h"
#include "gui_fixture.h"
#include "jobs/nv_backup.h"

namespace quorrel {
namespace {

using namespace controls;
using testsupport::BoxAnswerer;
using testsupport::GuiLine;
using testsupport::WaitFor;

using testsupport::kReady;
using testsupport::Text;

// Every control the form shows sits where the table puts it, in the units
// of the font the window uses; the hidden ones exist, hidden.
void CheckLayout(GuiLine& g, bool station) {
  const DialogBaseUnits units = gui::BaseUnits(g.window->font());
  const DialogSize size = station ? kStationFormSize : kFormSize;
  const PixelRect client = DialogToPixels(0, 0, size.width, size.height, units);
  EXPECT_EQ(g.window->size(), QSize(client.width, client.height));
  EXPECT_EQ(g.window->minimumSize(), g.window->maximumSize());
  EXPECT_EQ(g.window->pos().y(), 200);
  int checked = 0;
  for (const TemplateControl& entry : FormTemplate()) {
    if (entry.id == kNoControlId) continue;
    QWidget* w = g.window->findChild<QWidget*>(QString::number(entry.id));
    ASSERT_NE(w, nullptr) << entry.id;
    const bool shown =
        (entry.style & style::kVisible) != 0 || (station && (entry.style & style::kStation) != 0);
    EXPECT_EQ(w->isVisible(), shown) << entry.id;
    if (!shown) continue;
    const PixelRect want = DialogToPixels(entry, units);
    const QRect got = w->geometry();
    EXPECT_LE(std::abs(got.x() - want.x), 1) << entry.id;
    EXPECT_LE(std::abs(got.y() - want.y), 1) << entry.id;
    EXPECT_LE(std::abs(got.width() - want.width), 1) << entry.id;
    EXPECT_LE(std::abs(got.height() - want.height), 1) << entry.id;
    ++checked;
  }
  EXPECT_GE(checked, 14);
}

TEST(MainWindow, OneLineFormLayoutAndTexts) {
  GuiLine g;
  ASSERT_TRUE(g.Start());
  CheckLayout(g, false);
  EXPECT_EQ(g.window->windowTitle(), "ПО обновления для Pellam ZID Россия");
  EXPECT_EQ(g.window->font().family(), "Arial");
  const struct {
    int id;
    const char* text;
  } texts[] = {
      {1189, "О программе:"},
      {1190, "Эта программа предназначена для обновления программного обеспечения модема Vantrel."},
      {1191, "Внимание:"},
      {1194, "- Не отключайте модем до окончания обновления."},
      {1195, "Номер порта: "},
      {1196, "Текущая версия:"},
      {kDownload, "Загрузка"},
      {kCurrentVersion, "нет телефона"},
      {kStateLine, "пожалуйста подождите..."},
      {ProgressText(0), "0/100"},
  };
  for (const auto& t : texts) EXPECT_EQ(Text(g.Control(t.id)).toStdString(), t.text) << t.id;
  auto* download = qobject_cast<QPushButton*>(g.Control(kDownload));
  ASSERT_NE(download, nullptr);
  EXPECT_FALSE(download->icon().isNull());
  EXPECT_FALSE(download->isEnabled());  // no phone yet
  bool label = false;
  for (QLabel* l : g.window->findChildren<QLabel*>())
    label = label || (l->text() == "Прогресс:" && l->isVisible());
  EXPECT_TRUE(label);
}

TEST(MainWindow, StationFormShowsEveryLine) {
  GuiLine g(true);
  ASSERT_TRUE(g.Start());
  CheckLayout(g, true);
  EXPECT_EQ(Text(g.Control(kReleaseAll)), "全部释放");
  EXPECT_EQ(Text(g.Control(1032 + 1)).toStdString(), "");  // no such control
  // The row buttons say what they are, as the form has them.
  for (int line = 0; line < kLineCount; ++line) {
    if (line > 0) {
      EXPECT_EQ(Text(g.Control(StartButton(line))).toStdString(), ">") << line;
    }
    EXPECT_EQ(Text(g.Control(StopButton(line))).toStdString(), " ！") << line;
  }
  // The download button has room for its icon beside the text.
  auto* download = qobject_cast<QPushButton*>(g.Control(kDownload));
  EXPECT_EQ(download->text().toStdString(), "Загрузка");
  EXPECT_FALSE(download->icon().isNull());
}

TEST(MainWindow, DownloadFromTheClickToTheSuccessBox) {
  GuiLine g;
  ASSERT_TRUE(g.Start());
  g.line.modem_->PlugIn();
  auto* download = qobject_cast<QPushButton*>(g.Control(kDownload));
  ASSERT_TRUE(WaitFor([&] {
    return Text(g.Control(kStateLine)) == kReady && download->isEnabled() &&
           Text(g.Control(kPortNumber)) == "COM5";
  }));

  QString progressAtBox;
  QString stateAtBox;
  QString caption;
  BoxAnswerer user([&](const QMessageBox& box) {
    progressAtBox = Text(g.Control(ProgressText(0)));
    stateAtBox = Text(g.Control(kStateLine));
    caption = box.windowTitle();
    return QMessageBox::Ok;
  });
  QTest::mouseClick(download, Qt::LeftButton, {}, download->rect().center());
  ASSERT_TRUE(WaitFor([&] { return g.line.exitCode_ != -1; }));
  EXPECT_EQ(g.line.exitCode_, 0);
  ASSERT_EQ(user.Texts().size(), 1u);
  EXPECT_EQ(user.Texts()[0].rfind("Обновление выполнено успешно! Общее время ", 0), 0u)
      << user.Texts()[0];
  EXPECT_EQ(caption, "Поздравляем");
  EXPECT_EQ(progressAtBox, "100/100");
  EXPECT_EQ(stateAtBox, "Обновление выполнено!");
  EXPECT_EQ(qobject_cast<QProgressBar*>(g.Control(ProgressBar(0)))->value(), 100);
  EXPECT_EQ(g.line.modem().ImageBytes(5), g.line.EmbeddedFile(164));
  // Every NV item the download backed up went back with the backup's data.
  const std::vector<uint8_t> backup = testsupport::ReadBytes(MapPath(testsupport::kNvFile));
  ASSERT_EQ(backup.size(), NvTable::kFileSize);
  NvTable table;
  table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(backup.data(), NvTable::kFileSize));
  const std::vector<sim::NvWriteRecord> writes = g.line.modem().NvWrites();
  int restored = 0;
  for (const NvRecord& r : table.records) {
    if (r.item >= kNvEndItem) break;
    if (r.status != 0) continue;
    EXPECT_TRUE(std::any_of(
        writes.begin(), writes.end(),
        [&](const sim::NvWriteRecord& w) { return w.item == r.item && w.data == r.data; }))
        << "item " << r.item;
    ++restored;
  }
  EXPECT_GT(restored, 700);
}

TEST(MainWindow, ClosingWhileALineRunsAsksAndNoKeepsTheWindow) {
  GuiLine g;
  ASSERT_TRUE(g.Start());
  // The job waits at its second step, as for a user.
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  bool release = false;
  g.line.form().onProgress = [&](int percent) {
    if (percent != 2) return;
    SuspendGate::Held held;
    std::unique_lock<std::mutex> lock(mutex);
    holding = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  g.line.modem_->PlugIn();
  ASSERT_TRUE(WaitFor([&] { return g.Control(kDownload)->isEnabled(); }));
  ASSERT_TRUE(g.view->OnCommand(kDownload));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return holding;
  }));

  BoxAnswerer user([](const QMessageBox&) { return QMessageBox::No; });
  g.window->close();
  EXPECT_TRUE(g.window->isVisible());
  EXPECT_EQ(g.windowExit, -1);
  ASSERT_EQ(user.Texts().size(), 1u);
  EXPECT_EQ(user.Texts()[0], kCloseQuestion);

  user.SetPolicy([](const QMessageBox&) { return QMessageBox::Yes; });
  g.window->close();
  EXPECT_FALSE(g.window->isVisible());
  EXPECT_EQ(g.windowExit, 0);
  EXPECT_EQ(user.Texts().size(), 2u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
}

// The frame's accelerators as a user presses them: Ctrl+S saves the
// document through the save dialog, Ctrl+O opens nothing.
TEST(MainWindow, CtrlSSavesTheDocumentAndCtrlOOpensNothing) {
  GuiLine g(true);
  ASSERT_TRUE(g.Start());
  CQuorrelDoc& doc = g.line.doc_;
  for (int line = 0; line < kLineCount; ++line) doc.line(line).settings.atPort = 30 + line;
  ASSERT_TRUE(doc.line(3).settings.bootFile.Set("C:\\files\\boot.bin"));
  int saveDialogs = 0;
  int openDialogs = 0;
  g.line.form().SetSaveFileChooser([&](std::string_view, std::string_view) {
    ++saveDialogs;
    return std::optional<std::string>("C:\\station.doc");
  });
  g.line.form().SetFileChooser([&](std::string_view) {
    ++openDialogs;
    return std::optional<std::string>("C:\\station.doc");
  });
  g.window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(g.window.get()));

  QTest::keyClick(g.window.get(), Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(openDialogs, 0);
  EXPECT_EQ(saveDialogs, 0);
  QTest::keyClick(g.window.get(), Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(saveDialogs, 1);
  EXPECT_EQ(openDialogs, 0);

  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc loaded(clock, ports);
  std::string error;
  ASSERT_TRUE(loaded.LoadFromFile("C:\\station.doc", &error)) << error;
  for (int line = 0; line < kLineCount; ++line) {
    EXPECT_EQ(loaded.line(line).settings, doc.line(line).settings) << line;
  }
  EXPECT_EQ(loaded.line(7).settings.atPort, 37);
  EXPECT_EQ(loaded.line(3).settings.bootFile.str(), "C:\\files\\boot.bin");
}

TEST(MainWindow, ClosingAnIdleWindowAsksNothing) {
  GuiLine g;
  ASSERT_TRUE(g.Start());
  BoxAnswerer user;
  g.window->close();
  EXPECT_EQ(g.windowExit, 0);
  EXPECT_TRUE(user.Texts().empty());
}

TEST(MainWindow, ASecondInstanceShowsItsMessageAndStartsNothing) {
  bool exists = false;
  std::unique_ptr<NamedMutex> first;
  GuiLine g;
  first = NamedMutex::Create(kMutexName, &exists);
  ASSERT_FALSE(exists);
  QString caption;
  BoxAnswerer user([&](const QMessageBox& box) {
    caption = box.windowTitle();
    return QMessageBox::Ok;
  });
  EXPECT_EQ(g.view->OnInitialUpdate(EmbeddedResources()), StartupResult::AlreadyRunning);
  EXPECT_EQ(user.Texts(), std::vector<std::string>{kMutexTakenText});
  EXPECT_EQ(caption.toStdString(), kMainTitle);
  EXPECT_FALSE(g.line.controller().HasPortWatch(0));
  EXPECT_FALSE(g.window->isVisible());
}

TEST(MainWindow, ReleaseAndReconnectChangeTheButtonText) {
  GuiLine g(true);
  ASSERT_TRUE(g.Start());
  auto* button = qobject_cast<QPushButton*>(g.Control(kReleaseAll));
  QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  EXPECT_EQ(button->text(), "全部连接");
  EXPECT_FALSE(g.Control(kAllStart)->isEnabled());
  EXPECT_TRUE(g.Control(kAllStop)->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  EXPECT_EQ(button->text(), "全部释放");
  EXPECT_TRUE(g.Control(kAllStart)->isEnabled());
}

TEST(MainWindow, StatusPicturesFollowTheStatusKindFromAnyThread) {
  GuiLine g(true);
  ASSERT_TRUE(g.Start());
  auto* picture = qobject_cast<QLabel*>(g.Control(StatusIcon(0)));
  ASSERT_NE(picture, nullptr);
  const int bitmaps[] = {151, 152, 150, 149};  // Ready, Running, Pass, Fail
  std::set<QRgb> colours;
  for (int kind = kStatusReady; kind <= kStatusFail; ++kind) {
    std::thread worker([&] { g.line.form().ShowStatus(0, kind); });
    worker.join();
    const QImage expected = gui::StatusPicture(bitmaps[kind]);
    ASSERT_FALSE(expected.isNull());
    ASSERT_TRUE(WaitFor([&] {
      return !picture->pixmap().isNull() &&
             picture->pixmap().toImage().pixel(25, 8) == expected.pixel(25, 8);
    })) << kind;
    EXPECT_EQ(picture->pixmap().size(), QSize(50, 16));
    colours.insert(expected.pixel(25, 8));
  }
  EXPECT_EQ(colours.size(), 4u);
}

TEST(Pictures, BitmapsThatDoNotHoldWhatTheySayAreRefused) {
  std::optional<std::span<const uint8_t>> ready = EmbeddedResources().Find(151, "BITMAP");
  ASSERT_TRUE(ready);
  std::vector<uint8_t> dib(ready->begin(), ready->end());
  EXPECT_FALSE(gui::DecodeDib(dib).isNull());
  EXPECT_TRUE(gui::DecodeDib(std::span(dib).first(dib.size() - 1)).isNull());  // a row short
  EXPECT_TRUE(gui::DecodeDib(std::span(dib).first(39)).isNull());
  std::vector<uint8_t> bad = dib;
  bad[16] = 1;  // compressed
  EXPECT_TRUE(gui::DecodeDib(bad).isNull());
  bad = dib;
  bad[4] = 0xFF, bad[5] = 0xFF, bad[6] = 0xFF, bad[7] = 0x7F;  // far too wide
  EXPECT_TRUE(gui::DecodeDib(bad).isNull());
}

}  // namespace
}  // namespace quorrel

namespace quorrel {
namespace {

// The window with a modem attached and ready, as a picture: written to the
// file QUORREL_SCREENSHOT names (scripts/screenshot), else only made.
TEST(Screenshot, ReadyWindow) {
  for (bool station : {false, true}) {
    GuiLine g(station);
    ASSERT_TRUE(g.Start());
    g.line.modem_->PlugIn();
    ASSERT_TRUE(WaitFor([&] { return Text(g.Control(kStateLine)) == kReady; }));
    g.line.controller().SuspendPortWatch(0, true);
    g.window->Flush();
    const QImage shot = g.window->grab().toImage();
    ASSERT_EQ(shot.size(), g.window->size());
    const char* target =
        std::getenv(station ? "QUORREL_SCREENSHOT_ALL_LINES" : "QUORREL_SCREENSHOT");
    if (target != nullptr && *target != 0) {
      EXPECT_TRUE(shot.save(QString::fromLocal8Bit(target), "PNG")) << target;
    }
  }
}

}  // namespace
}  // namespace quorrel
