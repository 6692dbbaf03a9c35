// Writes the starting corpus of every fuzz target: quorrel-fuzz-seeds DIR
// makes DIR/<target>/<seed>. The replies and requests are the simulator's
// and the host's own, captured while the host's commands run against it; the
// files are the ones the program itself writes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/commands.h"
#include "fuzz/fuzz_support.h"
#include "jobs/nv_backup.h"
#include "lines/document.h"
#include "link/hdlc.h"
#include "package/image_set.h"
#include "platform/memory_wire.h"
#include "platform/root.h"
#include "release/demo_release.h"
#include "sim/usb_registry.h"

using namespace quorrel;
using namespace quorrel::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_out;

void WriteSeed(const std::string& target, const std::string& name, std::span<const uint8_t> bytes) {
  const fs::path dir = g_out / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A modem on a manual transport behind a scripted peer: every request the
// host writes is handed to the modem, its timers run, and what it sent back
// is the reply. Requests and replies are kept for the seeds.
class SimSession {
 public:
  SimSession() : modem_(sim::ModemConfig{}, transport_), link(peer.clock, peer.ports) {
    modem_.PowerOn();
    transport_.RunAll();
    transport_.diag.clear();
    peer.SetResponder([this](std::span<const uint8_t> request) { return OnRequest(request); });
    link.Port().Open(peer.port, 115200, 8, 1);
  }

  // Runs command, then returns the replies it got, as a reply script.
  template <typename Command>
  std::vector<Bytes> Capture(Command command) {
    replies_.clear();
    command();
    return replies_;
  }

  // The modem's answer to AT text on its data port.
  Bytes AtAnswer(std::string_view command) {
    transport_.data.clear();
    const Bytes bytes(command.begin(), command.end());
    requests.Byte(1).Le16(0).Block(bytes);
    modem_.Receive(sim::PortRole::Data, bytes);
    transport_.RunAll();
    return transport_.data;
  }

  testsupport::ScriptedPeer peer;
  // Every request, as the simulator target reads them.
  Output requests;

 private:
  std::optional<testsupport::ScriptedPeer::Reply> OnRequest(std::span<const uint8_t> request) {
    requests.Byte(0).Le16(0).Block(request);
    transport_.diag.clear();
    modem_.Receive(sim::PortRole::Diag, request);
    transport_.RunAll();
    replies_.push_back(transport_.diag);
    if (transport_.diag.empty()) return std::nullopt;
    return testsupport::ScriptedPeer::Reply{transport_.diag, 0, 0, 0};
  }

  ManualTransport transport_;
  sim::VirtualModem modem_;
  std::vector<Bytes> replies_;

 public:
  PhoneLink link;
};

Bytes Script(uint8_t which, const std::vector<Bytes>& replies, uint8_t piece = 0) {
  Output out;
  out.Byte(which);
  for (const Bytes& r : replies) {
    if (r.empty()) {
      WriteSilence(out);
    } else {
      WriteReply(out, r, piece);
    }
  }
  return out.bytes;
}

// Frame and multi-reply seeds from a captured reply.
int g_frames = 0;
void FrameSeed(LinkProtocol protocol, uint8_t code, const Bytes& reply) {
  if (reply.empty()) return;
  Output out;
  out.Byte(static_cast<uint8_t>(protocol)).Byte(code).Byte(200).Raw(reply);
  WriteSeed("fuzz_frame", "reply-" + std::to_string(++g_frames), out.bytes);
  Output stream;
  stream.Byte(protocol == LinkProtocol::Diag ? 1 : 0)
      .Byte(static_cast<uint8_t>(g_frames))
      .Raw(reply);
  WriteSeed("fuzz_frame_decoder", "reply-" + std::to_string(g_frames), stream.bytes);
}

void ReplySeeds() {
  // The normal firmware's commands, one modem each.
  for (uint8_t which = 0; which < kDiagCommands; ++which) {
    SimSession s;
    const std::vector<Bytes> replies = s.Capture([&] { RunDiagCommand(which, s.link); });
    WriteSeed("fuzz_diag_replies", "command-" + std::to_string(which), Script(which, replies));
    WriteSeed("fuzz_diag_replies", "command-" + std::to_string(which) + "-pieces",
              Script(which, replies, 3));
    for (const Bytes& r : replies) FrameSeed(LinkProtocol::Diag, r.empty() ? 0 : r[0], r);
    if (which == 5 && !replies.empty() && replies[0].size() > 3) {
      // The version texts: the packet without its CRC and flag.
      const Bytes& frame = replies[0];
      std::optional<Bytes> packet =
          Unstuff(std::span<const uint8_t>(frame.data(), frame.size() - 1));
      if (packet && packet->size() > 2) {
        packet->resize(packet->size() - 2);
        Output out;
        out.Le16(static_cast<uint16_t>(frame.size())).Raw(*packet);
        WriteSeed("fuzz_version_texts", "modem", out.bytes);
        Output shortForm;
        shortForm.Le16(120).Raw(*packet);
        WriteSeed("fuzz_version_texts", "short-layout", shortForm.bytes);
      }
    }
    WriteSeed("fuzz_sim_requests", "diag-" + std::to_string(which), s.requests.bytes);
  }

  // Downloader, then programmer, on one modem, in the order of a download.
  SimSession s;
  (void)s.Capture([&] { (void)SwitchToDownloader(s.link); });
  const uint8_t order[] = {0, 1, 2, 3, 5, 6, 7, 86, 9, 12, 10, 11};
  Bytes streamReplies;
  for (uint8_t which : order) {
    const std::vector<Bytes> replies = s.Capture([&] { RunDownloadCommand(which, s.link); });
    WriteSeed("fuzz_download_replies", "command-" + std::to_string(which), Script(which, replies));
    WriteSeed("fuzz_download_replies", "command-" + std::to_string(which) + "-pieces",
              Script(which, replies, 5));
    const LinkProtocol protocol = which < 5 ? LinkProtocol::Dmss : LinkProtocol::Streaming;
    for (const Bytes& r : replies) {
      FrameSeed(protocol, r.size() > 1 ? r[1] : 0, r);
      if (protocol == LinkProtocol::Streaming)
        streamReplies.insert(streamReplies.end(), r.begin(), r.end());
    }
  }
  WriteSeed("fuzz_sim_requests", "download", s.requests.bytes);
  WriteSeed("fuzz_multi_reply", "stream-replies", streamReplies);

  // Acknowledgements of blocks sent without waiting, and an error reply.
  Output collect;
  collect.Byte(kCollectReplies);
  Bytes acks;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint8_t ack[5] = {0x08, 0, static_cast<uint8_t>(i * 4), 0, 0};
    const Bytes frame = EncodeFrame(ack, true);
    collect.Le16(static_cast<uint16_t>(3 * i)).Block(frame);
    acks.insert(acks.end(), frame.begin(), frame.end());
  }
  const uint8_t error[] = {0x0D, 0x0A, 0x00, 0x00, 0x00, 'b', 'a', 'd', 0};
  const Bytes errorFrame = EncodeFrame(error, true);
  collect.Le16(0).Block(errorFrame);
  WriteSeed("fuzz_download_replies", "collect", collect.bytes);
  WriteSeed("fuzz_multi_reply", "acks", acks);
  acks.insert(acks.end(), errorFrame.begin(), errorFrame.end());
  WriteSeed("fuzz_multi_reply", "acks-then-error", acks);
  Output ackStream;
  ackStream.Byte(0).Byte(3).Raw(acks);
  WriteSeed("fuzz_frame_decoder", "acks-then-error", ackStream.bytes);
  FrameSeed(LinkProtocol::Streaming, 0x07, errorFrame);

  // AT answers, and the AT requests for the simulator.
  SimSession at;
  const char* commands[] = {"AT+GMR\r", "AT+VDIAG?\r", "AT+VDIAG=6\r", "AT+CFUN=1\r"};
  for (uint8_t i = 0; i < 4; ++i) {
    const Bytes answer = at.AtAnswer(commands[i]);
    Output out;
    out.Byte(static_cast<uint8_t>(i << 2)).Byte(0).Raw(answer);
    WriteSeed("fuzz_at_answers", "answer-" + std::to_string(i), out.bytes);
    Output pieces;
    pieces.Byte(static_cast<uint8_t>(i << 2 | 2)).Byte(4).Raw(answer);
    WriteSeed("fuzz_at_answers", "answer-" + std::to_string(i) + "-pieces", pieces.bytes);
  }
  Output error2;
  error2.Byte(0).Byte(0).Raw("\r\nERROR\r\n");
  WriteSeed("fuzz_at_answers", "error", error2.bytes);
  WriteSeed("fuzz_sim_requests", "at", at.requests.bytes);
}

void NvFileSeeds() {
  NvTable table = BuildBackupTable();
  for (size_t i = 0; i < NvTable::kRecords; ++i) {
    NvRecord& r = table.records[i];
    if (r.item >= kNvEndItem) break;
    for (size_t b = 0; b < r.data.size(); ++b) r.data[b] = static_cast<uint8_t>(r.item * 31 + b);
    r.status = i % 50 == 7 ? 5 : 0;
  }
  Bytes file(NvTable::kFileSize);
  table.StoreTo(std::span<uint8_t, NvTable::kFileSize>(file.data(), file.size()));
  for (uint8_t option = 0; option < 2; ++option) {
    Output out;
    out.Byte(option).Raw(file);
    WriteSeed("fuzz_nv_file", "backup-option-" + std::to_string(option + 1), out.bytes);
  }
}

void DocumentSeeds() {
  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc fresh(clock, ports);
  WriteSeed("fuzz_document", "new", fresh.SaveSettings());

  CQuorrelDoc doc(clock, ports);
  (void)doc.OnNewDocument("C:\\Program Files\\quorrel");
  for (int line = 0; line < kLineCount; ++line) {
    SettingsRecord& s = doc.line(line).settings;
    s.diagPort = 5 + 2 * line;
    s.atPort = 6 + 2 * line;
    (void)s.firmwareFolder.Set("C:\\release");
    ImageSet images(s);
    for (ImageFile f : kAllImageFiles) (void)images.SetPath(f, ImagePath("C:\\release", f));
  }
  WriteSeed("fuzz_document", "configured", doc.SaveSettings());
}

void RegistrySeeds() {
  (void)ScratchRoot();
  sim::Enumeration e;
  e.diagPort = 5;
  e.dataPort = 6;
  e.vendor = "Vantrel";
  e.diagDevicePath = "USB\\VID_1E0E&PID_9000&MI_01\\7&2f1c0a0b&0&0001";
  e.modemDevicePath = "USB\\VID_1E0E&PID_9000&MI_00\\7&2f1c0a0b&0&0000";
  (void)sim::RegisterPorts(e);
  const fs::path hive = QuorrelRoot() / "registry" / "HKEY_LOCAL_MACHINE";
  int n = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(hive)) {
    if (entry.path().filename() != "values.reg") continue;
    std::string key;
    for (const fs::path& part : fs::relative(entry.path().parent_path(), hive)) {
      if (!key.empty()) key += '\\';
      key += part.string();
    }
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    Output out;
    out.Raw(key).Raw("\n").Raw(content);
    WriteSeed("fuzz_registry", "key-" + std::to_string(++n), out.bytes);
  }
  Output handmade;
  handmade.Raw(
      "Software\\Test\n; "
      "comment\r\n@=\"default\"\r\n\"Count\"=dword:0000000A\r\n\"a\\\\b\"=\"x\\\"y\"\r\n");
  WriteSeed("fuzz_registry", "handmade", handmade.bytes);
}

void ReleaseSeeds() {
  Output all;
  all.Le16(0x0FFF);
  for (ImageFile f : kAllImageFiles) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(fs::path(kDemoReleaseDir) / ImageFileName(f), ec);
    all.Byte(static_cast<uint8_t>(ec ? 2 : std::min<uintmax_t>(size, 255)));
  }
  WriteSeed("fuzz_release_checks", "small-release", all.bytes);
  Output trailing = all;
  trailing.Raw("C:\\rel\\");
  WriteSeed("fuzz_release_checks", "trailing-backslash", trailing.bytes);
  Output missing = all;
  missing.bytes[0] = 0xBF;  // amss.mbn missing
  WriteSeed("fuzz_release_checks", "amss-missing", missing.bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  ReplySeeds();
  NvFileSeeds();
  DocumentSeeds();
  RegistrySeeds();
  ReleaseSeeds();
  return 0;
}
