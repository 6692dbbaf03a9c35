// Line 1 of a document wired to the in-process virtual modem on the virtual
// clock, under a scratch root: the embedded release written out as at
// start-up, the NV directory made, the form model as the display (recording
// what the user sees and answering every box with OK), the controller with
// hooks that note a closed main window and the exit code.
//
// Header-only; include as "support/sim_line.h".
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/form_model.h"
#include "app/line_controller.h"
#include "jobs/nv_backup.h"
#include "lines/document.h"
#include "package/embedded_release.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"
#include "platform/scratch_root.h"
#include "release/embedded_resources.h"
#include "sim/in_process.h"

namespace quorrel::testsupport {

// One thing the user saw.
struct Seen {
  enum class Kind { Status, Progress, Picture, Box, JobEnd, Finish, Version };
  Kind kind = Kind::Status;
  int value = 0;  // percent, picture, end kind
  std::string text;
  std::string caption;
  uint64_t timeMs = 0;
};

// The form model, recording the line-1 calls as they come.
class WatchedForm : public FormModel {
 public:
  WatchedForm(CQuorrelDoc& doc, std::string startupDirectory, Clock& clock)
      : FormModel(doc, std::move(startupDirectory)), clock_(clock) {}

  void ShowStatus(int line, int kind) override {
    Note(line, Make(Seen::Kind::Picture, kind));
    FormModel::ShowStatus(line, kind);
  }
  void SetProgress(int line, int percent) override {
    Note(line, Make(Seen::Kind::Progress, percent));
    FormModel::SetProgress(line, percent);
    if (line == 0 && onProgress) onProgress(percent);
  }
  void SetControlText(int id, std::string_view text) override {
    FormModel::SetControlText(id, text);
    std::lock_guard<std::mutex> lock(mutex_);
    ++changes_;
    state_changed_.notify_all();
  }

  void EnableControl(int id, bool enabled) override {
    FormModel::EnableControl(id, enabled);
    std::lock_guard<std::mutex> lock(mutex_);
    ++changes_;
    state_changed_.notify_all();
  }
  // Recorded when it changes (the port watch shows it on every pass).
  void SetVersionText(int line, std::string_view text) override {
    const bool changed = VersionText(line) != text;
    FormModel::SetVersionText(line, text);
    if (changed) Note(line, Make(Seen::Kind::Version, 0, std::string(text)));
  }

  // Waits (real time) until line 1's state line shows text.
  bool WaitForStateLine(std::string_view text,
                        std::chrono::seconds timeout = std::chrono::seconds(60)) {
    return WaitUntil([&] { return Control(controls::kStateLine).text == text; }, timeout);
  }
  // Waits (real time) until what the form shows or recorded makes done true;
  // looked at again after every change.
  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const uint64_t before = changes_;
      lock.unlock();
      if (done()) return true;
      lock.lock();
      if (!state_changed_.wait_until(lock, deadline, [&] { return changes_ != before; })) {
        lock.unlock();
        return done();
      }
    }
  }

  // Called on the job's thread with every progress value of line 1.
  std::function<void(int)> onProgress;
  // Called on the job's thread with every status line of line 1.
  std::function<void(std::string_view)> onStatus;
  void StatusLine(int line, std::string_view text, bool withTimeStamp) override {
    Note(line, Make(Seen::Kind::Status, withTimeStamp ? 1 : 0, std::string(text)));
    FormModel::StatusLine(line, text, withTimeStamp);
    if (line == 0 && onStatus) onStatus(text);
  }
  void JobEnd(int line, std::string_view text, EndKind endKind) override {
    Note(line, Make(Seen::Kind::JobEnd, static_cast<int>(endKind), std::string(text)));
    FormModel::JobEnd(line, text, endKind);
  }
  void FinishDisplay(int line, EndKind endKind, bool downloadMode) override {
    Note(line, Make(Seen::Kind::Finish, static_cast<int>(endKind), downloadMode ? "download" : ""));
    FormModel::FinishDisplay(line, endKind, downloadMode);
  }
  MessageResult MessageBox(const MessageBoxRequest& request) override {
    Note(0, Make(Seen::Kind::Box, static_cast<int>(request.icon), request.text, request.caption));
    return FormModel::MessageBox(request);
  }

  static Seen Make(Seen::Kind kind, int value, std::string text = {}, std::string caption = {}) {
    Seen seen;
    seen.kind = kind;
    seen.value = value;
    seen.text = std::move(text);
    seen.caption = std::move(caption);
    return seen;
  }

  std::vector<Seen> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  std::vector<Seen> Of(Seen::Kind kind) const {
    std::vector<Seen> out;
    for (const Seen& s : All()) {
      if (s.kind == kind) out.push_back(s);
    }
    return out;
  }
  std::vector<std::string> Texts(Seen::Kind kind) const {
    std::vector<std::string> out;
    for (const Seen& s : Of(kind)) out.push_back(s.text);
    return out;
  }
  std::vector<int> Values(Seen::Kind kind) const {
    std::vector<int> out;
    for (const Seen& s : Of(kind)) out.push_back(s.value);
    return out;
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
  }

 private:
  void Note(int line, Seen seen) {
    if (line != 0) return;
    seen.timeMs = clock_.NowMs();
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
    ++changes_;
    state_changed_.notify_all();
  }

  Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
  std::condition_variable state_changed_;
  uint64_t changes_ = 0;  // bumped at every change the waits look at
};

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

inline bool Contains(const std::vector<std::string>& texts, std::string_view text) {
  for (const auto& t : texts) {
    if (t == text) return true;
  }
  return false;
}

// The NV folder line 1 backs up into.
inline constexpr char kNvDirectory[] = "C:\\nvbackup";
inline constexpr char kNvFile[] = "C:\\nvbackup\\Channel1.nvm";

// The diagnostic commands that read and write one NV item.
inline constexpr uint8_t kNvReadCode = 0x26;
inline constexpr uint8_t kNvWriteCode = 0x27;

// Where line 1's NV backup lies on this machine.
inline std::filesystem::path NvPath() {
  return MapPath(kNvFile);
}

// An NV file as a table (empty records when it is missing or not whole).
inline NvTable ReadTable(const std::filesystem::path& p) {
  std::vector<uint8_t> bytes = ReadBytes(p);
  NvTable table;
  if (bytes.size() == NvTable::kFileSize) {
    table.LoadFrom(std::span<const uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
  }
  return table;
}

inline void WriteTable(const std::filesystem::path& p, const NvTable& table) {
  std::vector<uint8_t> bytes(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(bytes.data(), NvTable::kFileSize));
  std::ofstream(p, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// The NV backup line 1 made, as a table.
inline NvTable ReadNvBackup() {
  return ReadTable(NvPath());
}

// Every item the backup read holds the backup's data in the modem.
// Image types and the embedded files they are written from.
inline constexpr std::pair<uint8_t, int> kReleaseImages[] = {{2, 171}, {3, 172}, {4, 168},
                                                             {5, 164}, {9, 166}, {10, 185}};

inline void ExpectBackupInModem(sim::VirtualModem& modem, const NvTable& backup) {
  size_t checked = 0;
  for (const NvRecord& r : backup.records) {
    if (r.item >= kNvEndItem) break;
    if (r.status != 0) continue;
    EXPECT_EQ(modem.NvItem(r.item), r.data) << "item " << r.item;
    ++checked;
  }
  EXPECT_GT(checked, 0u) << "the backup holds no item";
}

class SimLine {
 public:
  // config: the modem; its expected programmer is set to the release's
  // armprg.bin unless the caller set one.
  explicit SimLine(sim::ModemConfig config = {}, bool registry = true) {
    startup_ = (root_.path() / "cwd").string();
    std::filesystem::create_directories(startup_);
    form_ = std::make_unique<WatchedForm>(doc_, startup_, clock_);
    form_->SetMessageBoxHandler([](const MessageBoxRequest& r) {
      return r.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok;
    });
    env_ = std::make_unique<JobEnvironment>(StandardJobEnvironment(doc_, *form_));
    doc_.OnNewDocument("C:\\quorrel");
    EXPECT_TRUE(ExtractEmbeddedImages(doc_, *form_, EmbeddedResources()));
    releaseDir_ = MapPath(kExtractionFolder);
    std::filesystem::create_directories(MapPath(kNvDirectory));
    LineJob& job = doc_.line(0);
    EXPECT_TRUE(job.settings.nvDirectory.Set(kNvDirectory));
    EXPECT_TRUE(job.settings.nvFile.Set(kNvFile));
    if (config.expectedProgrammer.empty()) config.expectedProgrammer = ReleaseFile("armprg.bin");
    modem_ = std::make_unique<sim::InProcessModem>(clock_, ports_, std::move(config),
                                                   sim::InProcessModem::Options{registry});
    LineHooks hooks = StandardLineHooks(*env_);
    hooks.closeMainWindow = [this] { closed_ = true; };
    hooks.endProcess = [this](int code) { exitCode_ = code; };
    controller_ = std::make_unique<LineController>(*env_, std::move(hooks));
    controller_->AttachForm(*form_);
  }

  ~SimLine() {
    controller_.reset();
    modem_.reset();
  }

  // Plugs the modem in and points line 1 at its ports (as the port watch
  // would have), with the phone answering.
  void PlugInAndFind() {
    modem_->PlugIn();
    LineJob& job = doc_.line(0);
    job.settings.diagPort = modem_->DiagPort();
    job.settings.atPort = modem_->DataPort();
    doc_.link(0).Port().Open(job.settings.diagPort, 115200, 8, 1);
    doc_.OpenAtPort(0, job.settings.atPort, 115200);
    job.phoneState = PhoneState::Answered;
  }

  // Starts line 1 and waits for its job thread to return.
  bool StartAndWait() {
    if (!controller_->StartLine(0)) return false;
    EXPECT_TRUE(controller_->WaitForJob(0, std::chrono::minutes(5)));
    return true;
  }

  std::vector<uint8_t> ReleaseFile(const std::string& name) const {
    return ReadBytes(releaseDir_ / name);
  }
  std::vector<uint8_t> EmbeddedFile(int id) const {
    auto r = EmbeddedResources().Find(id, "SOURCEMBN");
    if (!r) return {};
    return std::vector<uint8_t>(r->begin(), r->end());
  }

  quorrel::testing::ScratchRoot root_;
  VirtualClock clock_{1000000};
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  std::string startup_;
  std::unique_ptr<WatchedForm> form_;
  std::unique_ptr<JobEnvironment> env_;
  std::filesystem::path releaseDir_;
  std::unique_ptr<sim::InProcessModem> modem_;
  std::unique_ptr<LineController> controller_;
  bool closed_ = false;
  int exitCode_ = -1;

  sim::VirtualModem& modem() { return modem_->device(); }
  LineController& controller() { return *controller_; }
  WatchedForm& form() { return *form_; }
};

// The modem's flash holds every image of the embedded release, byte for byte.
inline void ExpectImagesInFlash(SimLine& s) {
  for (auto [type, id] : kReleaseImages) {
    std::optional<std::vector<uint8_t>> bytes = s.modem().ImageBytes(type);
    ASSERT_TRUE(bytes.has_value()) << "image type " << int(type);
    EXPECT_TRUE(*bytes == s.EmbeddedFile(id)) << "image type " << int(type);
  }
}

}  // namespace quorrel::testsupport
