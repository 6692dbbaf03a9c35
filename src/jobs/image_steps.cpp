#include "jobs/image_steps.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "download/dmss.h"
#include "download/streaming.h"
#include "jobs/mode_transitions.h"
#include "jobs/schedule.h"
#include "platform/files.h"
#include "util/text.h"

namespace quorrel {

namespace {

// Image types given when an image is opened for streaming.
constexpr uint8_t kTypeQcsblHdCfgData = 2;
constexpr uint8_t kTypeQcsbl = 3;
constexpr uint8_t kTypeOemsbl = 4;
constexpr uint8_t kTypeAmss = 5;
constexpr uint8_t kTypeEfs = 9;
constexpr uint8_t kTypeNandProgrammer = 10;

// The progress ranges of the amss and EFS images.
constexpr int kAmssProgressStart = 26;
constexpr int kAmssProgressEnd = 50;
constexpr int kAmssPercentSteps = 24;
constexpr int kEfsProgressStart = 50;
constexpr int kEfsProgressEnd = 80;
constexpr int kEfsPercentSteps = 30;

// Texts of the steps.
constexpr char kTextOpenFileFail[] = "open file fail!";
constexpr char kTextLengthNotCorrect[] = "The length of file is not correct";
constexpr char kTextNandHeaderMissing[] = "open file fail";
constexpr char kTextNandHeaderLength[] = "The file's length is error";
constexpr char kTextNandHeaderFail[] = "download nandprghd fail!";
constexpr char kTextNandImageMissing[] = "Open file fail";
constexpr char kTextCloseFailed[] = "Ошибка";
constexpr char kTextEfsOpenFail[] = "Open EFS file fail!";
constexpr char kTextEfsLength[] = "EFS file's length is not correct";
constexpr char kTextEfsEnterFail[] = "Enter Download EFS mode fail!";
constexpr char kTextStopped[] = "下载线程被人为终止!";
constexpr char kTextNoAck[] = "No return value,write operation fail!";
constexpr char kTextTooManyLost[] = "Too many data block is not responsed,download fail!";
constexpr char kTextProgrammerSilent[] =
    "The programmer stopped answering: %d writes in a row got no reply!";
constexpr char kTextWriteSentence[] = "Write a Block of Data to Memory Failed, Since %s";
constexpr char kTextNotAcknowledged[] = "the Phone did not Acknowledge the Block at 0x%08X";

// The looks for acknowledgements still due, kAckPollMs apart (the sampling
// step of an acknowledged write), until none is due or kAckWaitMs have
// passed.
constexpr uint32_t kAckPollMs = 13;
constexpr Schedule kAckPolls{{.tries = kUntilDone, .beforeMs = kAckPollMs}};

// A block written again until it is acknowledged, and the EFS image's sends
// and close: try; 2000 ms, try; 5000 ms, try.
constexpr Schedule kBlockRewriteTries{
    {.then = {.pauseMs = 2000}},
    {.then = {.pauseMs = 5000}},
    {},
};
constexpr Schedule kEfsSendTries = kBlockRewriteTries;
constexpr Schedule kEfsCloseTries = kBlockRewriteTries;
// A block of the amss and NAND programmer images: try; 2000 ms, try;
// reopen the AT port, 2000 ms, try; 2000 ms, reopen the AT port, 2000 ms,
// try. The other images' blocks are tried once.
constexpr Schedule kBlockTriesWithAtReopen{
    {.then = {.pauseMs = 2000}},
    {.then = {.reopen = Reopen::At, .settleMs = 2000}},
    {.then = {.pauseMs = 2000, .reopen = Reopen::At, .settleMs = 2000}},
    {},
};
constexpr Schedule kOneTry{{.tries = 1}};
// The partition table: try; 2000 ms, try; 2000 ms, try.
constexpr Schedule kPartitionTableTries{
    {.tries = 2, .then = {.pauseMs = 2000}},
    {},
};
// Opening an image without a header: try; 2000 ms, try.
constexpr Schedule kPlainOpenTries{
    {.then = {.pauseMs = 2000}},
    {},
};
// Opening an image with its header. oemsbl: as an image without one. amss:
// try; 2000 ms, try; 92000 ms, try. NAND programmer: try, then up to 3 more
// tries each after 2000 ms.
constexpr Schedule kOemsblOpenTries = kPlainOpenTries;
constexpr Schedule kAmssOpenTries{
    {.then = {.pauseMs = 2000}},
    {.then = {.pauseMs = 92000}},
    {},
};
constexpr Schedule kNandProgrammerOpenTries{
    {},
    {.tries = 3, .beforeMs = 2000},
};
// Opening the EFS image: up to 3 tries, 2000 ms after each failure.
constexpr Schedule kEfsOpenTries = Evenly(3, 2000);
// The EFS image's window: while it is full, a look for acknowledgements
// every millisecond, until kEfsAckTimeoutMs after the send.
constexpr Schedule kEfsWindowPolls{{.tries = kUntilDone, .beforeMs = 1}};
// The EFS image's last acknowledgements: up to 3 looks, 150 ms apart.
constexpr Schedule kEfsLastAckPolls{{.tries = 3, .beforeMs = 150}};

void Status(JobEnvironment& env, int line, std::string_view text) {
  env.display.StatusLine(line, text, true);
}

// The length of an open file, or nothing when it cannot be told or does not
// fit the 32-bit addresses of the protocols.
std::optional<uint32_t> LengthOf(const File& file) {
  const int64_t size = file.Size();
  if (size < 0 || size > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(size);
}

// A file opened for streaming, with its length (at least 1 byte).
struct OpenedFile {
  File file;
  uint32_t length;
};

// Opens the file at path; nothing when it cannot be opened or is empty, with
// the given status line when one is given.
std::optional<OpenedFile> OpenNonEmpty(JobEnvironment& env, int line, const std::string& path,
                                       std::string_view missingText, std::string_view emptyText) {
  std::optional<File> file = File::OpenRead(path);
  if (!file) {
    if (!missingText.empty()) env.display.StatusLine(line, missingText, true);
    return std::nullopt;
  }
  const std::optional<uint32_t> length = LengthOf(*file);
  if (!length || *length < 1) {
    if (!emptyText.empty()) env.display.StatusLine(line, emptyText, true);
    return std::nullopt;
  }
  return OpenedFile{std::move(*file), *length};
}

// The size of the next block: all that is left when it fits, else a whole block.
uint32_t BlockSize(uint32_t remaining, uint32_t block) {
  return std::min(remaining, block);
}

// A file read block by block, with reads at earlier offsets served by opening
// it again.
class BlockReader {
 public:
  BlockReader(std::string path, File file) : path_(std::move(path)), file_(std::move(file)) {}

  // Fills out with the bytes at offset; false when the file no longer holds
  // them.
  bool ReadAt(uint32_t offset, std::span<uint8_t> out) {
    if (offset < position_) {
      file_.Close();
      std::optional<File> again = File::OpenRead(path_);
      if (!again) return false;
      file_ = std::move(*again);
      position_ = 0;
    }
    std::array<uint8_t, kStreamBlock> skip;
    while (position_ < offset) {
      const uint32_t n = std::min<uint32_t>(offset - position_, kStreamBlock);
      if (file_.Read(std::span<uint8_t>(skip.data(), n)) != n) return false;
      position_ += n;
    }
    if (file_.Read(out) != static_cast<int64_t>(out.size())) return false;
    position_ += static_cast<uint32_t>(out.size());
    return true;
  }
  void Close() { file_.Close(); }

 private:
  std::string path_;
  File file_;
  uint32_t position_ = 0;
};

std::string ShortReadText(std::string_view path) {
  return Format("Cannot read the file %.*s", static_cast<int>(path.size()), path.data());
}

// What one image's block writes got back: the blocks sent and not yet
// acknowledged, in the order sent, and how many writes in a row got no byte
// back at all.
class WriteLedger {
 public:
  WriteLedger(JobEnvironment& env, int line) : env_(env), line_(line), link_(env.doc.link(line)) {}

  // One acknowledged write (StreamWrite) with its bookkeeping; returns
  // StreamWrite's result.
  bool Write(const uint8_t* data, uint32_t address, uint32_t length) {
    const uint64_t before = link_.Port().BytesRead();
    link_.ClearAcknowledged();
    const bool sent = StreamWrite(link_, data, address, length) != 0;
    const bool heard = Heard(before);
    if (sent && !Pending(address)) pending_.push_back(address);
    if (heard) Take();
    if (heard) {
      silent_ = 0;
    } else if (sent) {
      ++silent_;
    }
    return sent;
  }

  // Collects what arrives until the address is acknowledged (every pending
  // block when none is given) or kAckWaitMs have passed.
  void Await(std::optional<uint32_t> address = std::nullopt) {
    Clock& clock = env_.clock();
    const uint64_t start = clock.NowMs();
    auto due = [&] { return address ? Pending(*address) : !pending_.empty(); };
    if (!due()) return;
    (void)RunSchedule(env_, line_, kAckPolls,
                      [&] {
                        const uint64_t before = link_.Port().BytesRead();
                        link_.ClearAcknowledged();
                        (void)StreamCollectReplies(link_);
                        if (Heard(before)) Take();
                        return !due();
                      },
                      {.giveUp = [&] { return clock.NowMs() - start >= kAckWaitMs; }});
  }

  bool Pending(uint32_t address) const {
    return std::find(pending_.begin(), pending_.end(), address) != pending_.end();
  }
  const std::vector<uint32_t>& PendingBlocks() const { return pending_; }
  // True once kSilentWriteLimit writes in a row got nothing back.
  bool Silent() const { return silent_ >= kSilentWriteLimit; }

 private:
  bool Heard(uint64_t before) {
    return link_.Port().BytesRead() != before || link_.Port().BytesQueued() > 0;
  }
  // Acknowledged blocks leave the pending list; acknowledgements of blocks
  // not pending are ignored.
  void Take() {
    for (const uint32_t acknowledged : link_.Acknowledged()) {
      const auto it = std::find(pending_.begin(), pending_.end(), acknowledged);
      if (it != pending_.end()) pending_.erase(it);
    }
  }

  JobEnvironment& env_;
  const int line_;
  PhoneLink& link_;
  std::vector<uint32_t> pending_;
  int silent_ = 0;
};

// The status line and result of a step whose programmer stopped answering.
bool ProgrammerSilent(JobEnvironment& env, int line) {
  Status(env, line, Format(kTextProgrammerSilent, kSilentWriteLimit));
  return false;
}

// Writes one block again until it is acknowledged, by kBlockRewriteTries.
// False with the reason in the link's lastError.
bool RewriteBlock(JobEnvironment& env, int line, WriteLedger& ledger, const uint8_t* data,
                  uint32_t address, uint32_t length) {
  PhoneLink& link = env.doc.link(line);
  return RunSchedule(env, line, kBlockRewriteTries,
                     [&] {
                       if (!ledger.Write(data, address, length)) return false;
                       ledger.Await(address);
                       if (!ledger.Pending(address)) return true;
                       link.SetLastError(Format(kTextWriteSentence,
                                                Format(kTextNotAcknowledged, address).c_str()));
                       return false;
                     },
                     {.giveUp = [&] { return ledger.Silent(); }});
}

// Writes the blocks at the given addresses again, acknowledged, each by
// kBlockRewriteTries; with onlyPending, a block whose acknowledgement came
// meanwhile is left as it is. False (with its status line) when a block
// cannot be read, stays unacknowledged, or the programmer stopped answering.
bool RewriteBlocks(JobEnvironment& env, int line, WriteLedger& ledger, BlockReader& reader,
                   std::string_view path, uint32_t length, const std::vector<uint32_t>& addresses,
                   bool onlyPending) {
  std::array<uint8_t, kStreamBlock> block;
  for (uint32_t address : addresses) {
    if (onlyPending && !ledger.Pending(address)) continue;
    const uint32_t n = BlockSize(length - address, kStreamBlock);
    if (!reader.ReadAt(address, std::span<uint8_t>(block.data(), n))) {
      Status(env, line, ShortReadText(path));
      return false;
    }
    if (!RewriteBlock(env, line, ledger, block.data(), address, n)) {
      if (ledger.Silent()) return ProgrammerSilent(env, line);
      Status(env, line, env.doc.link(line).LastError());
      return false;
    }
  }
  return true;
}

// Before an image is closed: waits for the acknowledgements still due, then
// writes every block that got none again.
bool RewriteUnacknowledged(JobEnvironment& env, int line, WriteLedger& ledger, BlockReader& reader,
                           std::string_view path, uint32_t length) {
  ledger.Await();
  const std::vector<uint32_t> lost = ledger.PendingBlocks();
  return RewriteBlocks(env, line, ledger, reader, path, length, lost, true);
}

std::string TooLongText(std::string_view path, uint32_t length) {
  return Format("The file %.*s has %u bytes, more than the %u bytes it may have",
                static_cast<int>(path.size()), path.data(), length, kStreamBlock);
}

// A whole small file (header or partition table) read into buffer. Its
// length was checked to be 1 to 1024 bytes.
bool ReadSmallFile(File& file, uint32_t length, std::array<uint8_t, kStreamBlock>& buffer) {
  return file.Read(std::span<uint8_t>(buffer.data(), length)) == static_cast<int64_t>(length);
}

std::string_view HeaderPath(const SettingsRecord& s, HeaderedImage which) {
  switch (which) {
    case HeaderedImage::Oemsbl:
      return s.oemsblhdPath.view();
    case HeaderedImage::Amss:
      return s.amsshdPath.view();
    case HeaderedImage::NandProgrammer:
      return s.nandprghdPath.view();
  }
  return {};
}

std::string_view ImagePath(const SettingsRecord& s, HeaderedImage which) {
  switch (which) {
    case HeaderedImage::Oemsbl:
      return s.oemsblPath.view();
    case HeaderedImage::Amss:
      return s.amssPath.view();
    case HeaderedImage::NandProgrammer:
      return s.nandprgcombinedPath.view();
  }
  return {};
}

uint8_t TypeOf(HeaderedImage which) {
  switch (which) {
    case HeaderedImage::Oemsbl:
      return kTypeOemsbl;
    case HeaderedImage::Amss:
      return kTypeAmss;
    case HeaderedImage::NandProgrammer:
      return kTypeNandProgrammer;
  }
  return 0;
}

// Opens the image with its header bytes, by the image's schedule.
bool OpenWithHeader(JobEnvironment& env, int line, HeaderedImage which,
                    const std::array<uint8_t, kStreamBlock>& header, uint32_t length) {
  PhoneLink& link = env.doc.link(line);
  const uint8_t type = TypeOf(which);
  const Schedule& tries = which == HeaderedImage::Oemsbl ? kOemsblOpenTries
                          : which == HeaderedImage::Amss ? kAmssOpenTries
                                                         : kNandProgrammerOpenTries;
  if (RunSchedule(env, line, tries,
                  [&] { return StreamOpenMultiImage(link, type, header.data(), length) != 0; })) {
    return true;
  }
  if (which == HeaderedImage::NandProgrammer) Status(env, line, kTextNandHeaderFail);
  return false;
}

// The amss image's progress: one percent every blocksPerPercent blocks (every
// block when that is 0), never past the end of its range.
class AmssPacer {
 public:
  explicit AmssPacer(uint32_t length)
      : blocksPerPercent_((length / kStreamBlock) / kAmssPercentSteps) {}

  // After each block; false when the line was asked to stop.
  bool AfterBlock(JobEnvironment& env, int line) {
    ++count_;
    if (count_ < blocksPerPercent_) return true;
    value_ = std::min(value_ + 1, kAmssProgressEnd);
    // The pauses that pace the bar; fast mode goes on at once.
    const bool paced = !env.fast();
    if (paced) env.clock().Sleep(50);
    env.display.SetProgress(line, value_);
    if (paced && value_ % 15 == 0) env.clock().Sleep(2000);
    count_ = 0;
    return env.doc.line(line).runFlag.load() != 0;
  }

 private:
  uint32_t blocksPerPercent_;
  uint32_t count_ = 0;
  int value_ = kAmssProgressStart;
};

// The in-flight and unanswered block addresses of an image written with
// blocks in flight (the EFS image; amss in fast mode).
class BlockWindow {
 public:
  void Sent(uint32_t address) { in_flight_.push_back(address); }
  size_t InFlight() const { return in_flight_.size(); }

  // Takes the acknowledgements the link collected: an acknowledged block
  // leaves the in-flight list together with every older one, which counts as
  // lost. Acknowledgements of blocks not in flight are ignored.
  void Match(PhoneLink& link) {
    for (const uint32_t acknowledged : link.Acknowledged()) {
      const auto it = std::find(in_flight_.begin(), in_flight_.end(), acknowledged);
      if (it == in_flight_.end()) continue;
      unanswered_.insert(unanswered_.end(), in_flight_.begin(), it);
      in_flight_.erase(in_flight_.begin(), it + 1);
    }
    link.ClearAcknowledged();
  }
  // Whatever is still in flight counts as lost.
  void GiveUpInFlight() {
    unanswered_.insert(unanswered_.end(), in_flight_.begin(), in_flight_.end());
    in_flight_.clear();
  }
  const std::vector<uint32_t>& Unanswered() const { return unanswered_; }

 private:
  std::vector<uint32_t> in_flight_;
  std::vector<uint32_t> unanswered_;
};

// Fast mode: collects acknowledgements as they arrive until at most room
// blocks are in flight. False when none came for timeoutMs.
bool AwaitWindowRoom(JobEnvironment& env, int line, BlockWindow& window, size_t room,
                     uint64_t timeoutMs) {
  PhoneLink& link = env.doc.link(line);
  Clock& clock = env.clock();
  uint64_t start = clock.NowMs();
  while (window.InFlight() > room) {
    const uint64_t spent = clock.NowMs() - start;
    // A port closed under the wait (the modem left the bus) brings nothing.
    if (spent >= timeoutMs || !link.Port().IsOpen()) return false;
    if (link.Port().WaitForBytes(clock, static_cast<uint32_t>(timeoutMs - spent)) <= 0) continue;
    const size_t before = window.InFlight();
    (void)StreamCollectReplies(link);
    window.Match(link);
    // The time-out counts from the last acknowledgement.
    if (window.InFlight() < before) start = clock.NowMs();
  }
  return true;
}

// Reads the block at offset and sends it without waiting for its
// acknowledgement, by tries. False, with the status line, when the block
// cannot be read or sent.
bool ReadAndSendNoWait(JobEnvironment& env, int line, BlockReader& reader, std::string_view path,
                       uint32_t offset, std::span<uint8_t> block, const Schedule& tries) {
  PhoneLink& link = env.doc.link(line);
  if (!reader.ReadAt(offset, block)) {
    Status(env, line, ShortReadText(path));
    return false;
  }
  if (!RunSchedule(env, line, tries, [&] {
        return StreamWriteNoWait(link, block.data(), offset, static_cast<uint32_t>(block.size())) !=
               0;
      })) {
    Status(env, line, link.LastError());
    return false;
  }
  return true;
}

// Fast mode: the image's blocks sent kFastWindow at a time without waiting
// for each acknowledgement, as the EFS image is; the blocks that got none
// (lost or refused) are written again, acknowledged, before the image is
// closed, so the flash holds exactly the file. After each block the pacer,
// when given, may end the image.
bool WriteBlocksInFlight(JobEnvironment& env, int line, BlockReader& reader, std::string_view path,
                         uint32_t length, AmssPacer* pacer) {
  PhoneLink& link = env.doc.link(line);
  link.Port().Note(Format("fast: up to %zu blocks in flight", kFastWindow));
  BlockWindow window;
  std::array<uint8_t, kStreamBlock> block;
  for (uint32_t offset = 0; offset < length;) {
    const uint32_t n = BlockSize(length - offset, kStreamBlock);
    if (!ReadAndSendNoWait(env, line, reader, path, offset, std::span<uint8_t>(block.data(), n),
                           kBlockRewriteTries)) {
      return false;
    }
    window.Sent(offset);
    if (!AwaitWindowRoom(env, line, window, kFastWindow - 1, kAckWaitMs * kSilentWriteLimit))
      return ProgrammerSilent(env, line);
    offset += n;
    if (pacer && !pacer->AfterBlock(env, line)) return false;
  }
  (void)AwaitWindowRoom(env, line, window, 0, kAckWaitMs);
  window.GiveUpInFlight();
  if (!window.Unanswered().empty()) {
    link.Port().Note(Format("fast: %zu blocks without an acknowledgement, written again",
                            window.Unanswered().size()));
  }
  WriteLedger ledger(env, line);
  if (!RewriteBlocks(env, line, ledger, reader, path, length, window.Unanswered(), false))
    return false;
  reader.Close();
  return true;
}

// Writes the image's blocks in order, each by blockTries, then the blocks
// that got no acknowledgement again, and closes the file. After each block
// the pacer, when given, paces the progress and may end the image. False
// (with its status line, but for a stop request) when a block could not be
// read or written.
bool WriteBlocks(JobEnvironment& env, int line, BlockReader& reader, std::string_view path,
                 uint32_t length, const Schedule& blockTries, AmssPacer* pacer) {
  PhoneLink& link = env.doc.link(line);
  WriteLedger ledger(env, line);
  std::array<uint8_t, kStreamBlock> block;
  for (uint32_t offset = 0; offset < length;) {
    const uint32_t n = BlockSize(length - offset, kStreamBlock);
    if (!reader.ReadAt(offset, std::span<uint8_t>(block.data(), n))) {
      Status(env, line, ShortReadText(path));
      return false;
    }
    if (!RunSchedule(env, line, blockTries,
                     [&] { return ledger.Write(block.data(), offset, n); })) {
      Status(env, line, link.LastError());
      return false;
    }
    if (ledger.Silent()) return ProgrammerSilent(env, line);
    offset += n;
    if (pacer && !pacer->AfterBlock(env, line)) return false;
  }
  if (!RewriteUnacknowledged(env, line, ledger, reader, path, length)) return false;
  reader.Close();
  return true;
}

}  // namespace

bool CheckNvDirectory(JobEnvironment& env, std::string_view directory) {
  if (PathExists(directory)) return true;
  env.display.Message(
      Format("Cannot create directory:%.*s", static_cast<int>(directory.size()), directory.data()));
  return false;
}

bool UploadProgrammer(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  const std::string path = env.doc.line(line).settings.armprgPath.str();
  std::optional<File> file = File::OpenRead(path);
  std::optional<uint32_t> length;
  if (file) length = LengthOf(*file);
  if (!file || !length) {
    link.SetLastError(Format("Line%d :\tOpen armprg.bin fail!", line + 1));
    env.display.Message(link.LastError());
    return false;
  }
  // Nothing to start: an empty programmer would only fail later, with a
  // reason that hides this one.
  if (*length == 0) {
    link.SetLastError(Format("Line%d :\tarmprg.bin is empty!", line + 1));
    env.display.Message(link.LastError());
    return false;
  }
  std::array<uint8_t, kProgrammerChunk> chunk;
  for (uint32_t offset = 0; offset < *length;) {
    const uint32_t n = BlockSize(*length - offset, kProgrammerChunk);
    if (file->Read(std::span<uint8_t>(chunk.data(), n)) != n) {
      link.SetLastError(ShortReadText(path));
      return false;
    }
    if (!DmssWrite(link, chunk.data(), kProgrammerLoadAddress + offset, n)) return false;
    offset += n;
  }
  file->Close();
  return true;
}

bool WritePartitionTable(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  const std::string path = env.doc.line(line).settings.partitionPath.str();
  std::optional<OpenedFile> opened =
      OpenNonEmpty(env, line, path, kTextOpenFileFail, kTextLengthNotCorrect);
  if (!opened) return false;
  const uint32_t length = opened->length;
  if (length > kStreamBlock) {
    Status(env, line, TooLongText(path, length));
    return false;
  }
  std::array<uint8_t, kStreamBlock> table{};
  if (!ReadSmallFile(opened->file, length, table)) {
    Status(env, line, ShortReadText(path));
    return false;
  }
  opened->file.Close();
  return RunSchedule(env, line, kPartitionTableTries,
                     [&] { return StreamPartitionTable(link, table.data(), length) != 0; });
}

bool WritePlainImage(JobEnvironment& env, int line, PlainImage which) {
  PhoneLink& link = env.doc.link(line);
  const SettingsRecord& s = env.doc.line(line).settings;
  const std::string path =
      which == PlainImage::QcsblHdCfgData ? s.qcsblhdCfgdataPath.str() : s.qcsblPath.str();
  const uint8_t type = which == PlainImage::QcsblHdCfgData ? kTypeQcsblHdCfgData : kTypeQcsbl;

  std::optional<OpenedFile> opened = OpenNonEmpty(env, line, path, {}, {});
  if (!opened) return false;
  if (!RunSchedule(env, line, kPlainOpenTries,
                   [&] { return StreamOpenMultiImage(link, type, nullptr, 0) != 0; })) {
    return false;
  }
  BlockReader reader(path, std::move(opened->file));
  if (!WriteBlocks(env, line, reader, path, opened->length, kOneTry, nullptr)) return false;
  return StreamClose(link) != 0;
}

bool WriteImageWithHeader(JobEnvironment& env, int line, HeaderedImage which) {
  PhoneLink& link = env.doc.link(line);
  const SettingsRecord& s = env.doc.line(line).settings;
  const bool nand = which == HeaderedImage::NandProgrammer;
  const bool amss = which == HeaderedImage::Amss;

  // The header.
  const std::string headerPath(HeaderPath(s, which));
  std::optional<File> header = File::OpenRead(headerPath);
  if (!header) {
    if (!nand) return false;
    // No NAND programmer image in this release: nothing to write.
    Status(env, line, kTextNandHeaderMissing);
    return true;
  }
  const std::optional<uint32_t> headerLength = LengthOf(*header);
  if (!headerLength || *headerLength < 1) {
    if (nand) Status(env, line, kTextNandHeaderLength);
    return false;
  }
  if (*headerLength > kStreamBlock) {
    Status(env, line, TooLongText(headerPath, *headerLength));
    return false;
  }
  std::array<uint8_t, kStreamBlock> headerBytes{};
  if (!ReadSmallFile(*header, *headerLength, headerBytes)) {
    Status(env, line, ShortReadText(headerPath));
    return false;
  }
  if (!OpenWithHeader(env, line, which, headerBytes, *headerLength)) return false;
  header->Close();

  // The image.
  const std::string imagePath(ImagePath(s, which));
  std::optional<File> image = File::OpenRead(imagePath);
  if (!image) {
    if (nand) Status(env, line, kTextNandImageMissing);
    return false;
  }
  const std::optional<uint32_t> length = LengthOf(*image);
  if (!length) return false;
  if (*length < 1) {
    // An empty amss or NAND programmer image would leave the modem without
    // it while the step reports success.
    if (which != HeaderedImage::Oemsbl) Status(env, line, kTextLengthNotCorrect);
    return false;
  }

  std::optional<AmssPacer> pacer;
  if (amss) {
    env.display.SetProgress(line, kAmssProgressStart);
    pacer.emplace(*length);
  }
  const Schedule& blockTries = which == HeaderedImage::Oemsbl ? kOneTry : kBlockTriesWithAtReopen;
  BlockReader reader(imagePath, std::move(*image));
  const bool written = amss && env.fast()
                           ? WriteBlocksInFlight(env, line, reader, imagePath, *length, &*pacer)
                           : WriteBlocks(env, line, reader, imagePath, *length, blockTries,
                                         pacer ? &*pacer : nullptr);
  if (!written) return false;
  if (StreamClose(link)) return true;
  if (which != HeaderedImage::Oemsbl) Status(env, line, kTextCloseFailed);
  return false;
}

bool WriteEfsImage(JobEnvironment& env, int line) {
  PhoneLink& link = env.doc.link(line);
  Clock& clock = env.clock();
  const std::string path = env.doc.line(line).settings.efsPath.str();

  std::optional<OpenedFile> opened =
      OpenNonEmpty(env, line, path, kTextEfsOpenFail, kTextEfsLength);
  if (!opened) return false;
  const uint32_t length = opened->length;

  if (!RunSchedule(env, line, kEfsOpenTries,
                   [&] { return StreamOpenMultiImage(link, kTypeEfs, nullptr, 0) != 0; })) {
    Status(env, line, kTextEfsEnterFail);
    return false;
  }

  int progress = kEfsProgressStart;
  env.display.SetProgress(line, progress);
  const uint32_t blocksPerPercent = (length / kStreamBlock) / kEfsPercentSteps;
  uint32_t count = 0;
  BlockWindow window;
  auto Collect = [&] {
    (void)StreamCollectReplies(link);
    window.Match(link);
  };
  BlockReader reader(path, std::move(opened->file));
  opened.reset();

  std::array<uint8_t, kStreamBlock> block;
  for (uint32_t offset = 0; offset < length;) {
    const uint32_t n = BlockSize(length - offset, kStreamBlock);
    // Sent without waiting for the acknowledgement.
    if (!ReadAndSendNoWait(env, line, reader, path, offset, std::span<uint8_t>(block.data(), n),
                           kEfsSendTries)) {
      return false;
    }
    // The progress, and the stop request.
    if (++count >= blocksPerPercent) {
      progress = std::min(progress + 1, kEfsProgressEnd);
      env.display.SetProgress(line, progress);
      count = 0;
      if (env.doc.line(line).runFlag.load() == 0) {
        Status(env, line, kTextStopped);
        return false;
      }
    }
    // At most kEfsWindow blocks stay unacknowledged.
    window.Sent(offset);
    const uint64_t sentAt = clock.NowMs();
    auto windowOpen = [&] { return window.InFlight() <= static_cast<size_t>(kEfsWindow); };
    auto awaitRoom = [&] {
      if (env.fast()) return AwaitWindowRoom(env, line, window, kEfsWindow, kEfsAckTimeoutMs);
      return RunSchedule(env, line, kEfsWindowPolls, [&] { return Collect(), windowOpen(); },
                         {.giveUp = [&] { return clock.NowMs() - sentAt >= kEfsAckTimeoutMs; }});
    };
    if (!windowOpen() && !awaitRoom()) {
      Status(env, line, kTextNoAck);
      return false;
    }
    offset += n;
  }

  // The last acknowledgements.
  if (window.InFlight() > 0) {
    (void)RunSchedule(env, line, kEfsLastAckPolls,
                      [&] { return Collect(), window.InFlight() == 0; });
  }
  window.GiveUpInFlight();

  if (window.Unanswered().size() > kEfsUnansweredLimit) {
    Status(env, line, kTextTooManyLost);
    return false;
  }

  // Write the unanswered blocks again, acknowledged this time.
  WriteLedger ledger(env, line);
  if (!RewriteBlocks(env, line, ledger, reader, path, length, window.Unanswered(), false))
    return false;

  reader.Close();
  if (!RunSchedule(env, line, kEfsCloseTries, [&] { return StreamClose(link) != 0; })) {
    Status(env, line, kTextCloseFailed);
    return false;
  }
  env.display.SetProgress(line, kEfsProgressEnd);
  return true;
}

}  // namespace quorrel
