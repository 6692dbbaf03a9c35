#include "sim/report.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "sim/sha256.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// The report keeps every byte of a text visible: bytes from 0x80 on stand
// for the characters of the same number (host texts are 8-bit, not UTF-8),
// and the dump below escapes everything outside ASCII.
std::string Text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string ComName(int port) {
  return port > 0 ? Format("COM%d", port) : std::string();
}

// The image of each type the flash ends with: the last closed one, else the
// last opened.
std::vector<const FlashImage*> FinalImages(const std::vector<FlashImage>& images) {
  std::vector<const FlashImage*> out;
  std::set<uint8_t> types;
  for (const FlashImage& image : images) types.insert(image.type);
  for (uint8_t type : types) {
    const FlashImage* chosen = nullptr;
    for (const FlashImage& image : images) {
      if (image.type != type) continue;
      if (image.closed || chosen == nullptr || !chosen->closed) chosen = &image;
    }
    out.push_back(chosen);
  }
  return out;
}

bool WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

std::string ReportJson(const ModemSnapshot& s, const ReportContext& context) {
  // Ordered: the fields read in the order a person looks for them.
  using Json = nlohmann::ordered_json;
  Json j = Json::object();
  j["program"] = "quorrel-sim";
  j["seed"] = context.seed;
  j["esn"] = Format("%08X", context.esn);
  j["time_scale"] = context.timeScale;
  j["duration_ms"] = s.nowMs;
  j["final_mode"] = ModeName(s.mode);
  j["version"] = Text(s.version);
  // What the link and the modem themselves cost: no host can take less than
  // the link's time, the processing and the boots, less what overlapped.
  j["floor"] = {{"link_ms", s.floor.linkUs / 1000},
                {"processing_ms", s.floor.processingMs},
                {"boot_ms", s.floor.bootMs},
                {"total_ms", s.floor.TotalMs()},
                {"bytes_to_modem", s.floor.bytesToModem},
                {"bytes_to_host", s.floor.bytesToHost}};

  Json& attachments = j["attachments"] = Json::array();
  for (const AttachRecord& r : s.attachHistory) {
    attachments.push_back({{"t_ms", r.timeMs},
                           {"event", r.attached ? "attach" : "detach"},
                           {"diag", ComName(r.ports.diagPort)},
                           {"data", ComName(r.ports.dataPort)},
                           {"reason", Text(r.reason)}});
  }

  Json& requests = j["requests"] = Json::array();
  for (const RequestRecord& r : s.requests) {
    Json o = {{"t_ms", r.timeMs}, {"port", PortRoleName(r.port)}, {"mode", ModeName(r.mode)}};
    if (r.code >= 0) o["code"] = Format("0x%02X", r.code);
    o["length"] = r.length;
    o["what"] = Text(r.what);
    requests.push_back(std::move(o));
  }

  Json& violations = j["violations"] = Json::array();
  for (const Violation& v : s.violations) {
    violations.push_back({{"t_ms", v.timeMs}, {"mode", ModeName(v.mode)}, {"text", Text(v.text)}});
  }

  Json& at = j["at_commands"] = Json::array();
  for (const AtRecord& a : s.atCommands) {
    at.push_back({{"t_ms", a.timeMs},
                  {"port", PortRoleName(a.port)},
                  {"command", Text(a.command)},
                  {"answered", a.answered}});
  }

  Json& vendor = j["vendor_requests"] = Json::array();
  for (const VendorRecord& v : s.vendorRequests) {
    vendor.push_back({{"t_ms", v.timeMs},
                      {"name", Text(v.name)},
                      {"value", HexText(v.value)},
                      {"result", Text(v.result)}});
  }

  j["handshake"] = {{"result", HandshakeResultName(s.handshake.result)},
                    {"challenge", HexText(s.handshake.challenge)},
                    {"answer", HexText(s.handshake.answer)},
                    {"challenges", s.handshake.challenges},
                    {"answers", s.handshake.answers}};

  j["settings"] = {{"autorun", s.autorun},
                   {"vendor_switch_aa", s.vendorSwitchAA},
                   {"diag_port_mode", s.diagPortMode},
                   {"cd_run", Json::array()}};
  for (const std::string& c : s.cdRun) j["settings"]["cd_run"].push_back(Text(c));

  Json& nv = j["nv_writes"] = Json::array();
  for (const NvWriteRecord& w : s.nvWrites) {
    nv.push_back(
        {{"t_ms", w.timeMs}, {"item", w.item}, {"status", w.status}, {"data", HexText(w.data)}});
  }

  Json& tables = j["partition_tables"] = Json::array();
  for (const std::vector<uint8_t>& t : s.partitionTables) {
    tables.push_back({{"length", t.size()}, {"sha256", Sha256::HexOf(t)}});
  }

  j["programmer"] = {{"length", s.programmer.size()}, {"sha256", Sha256::HexOf(s.programmer)}};

  Json& images = j["images"] = Json::array();
  for (const FlashImage* image : FinalImages(s.images)) {
    std::vector<uint8_t> bytes = image->Assembled();
    images.push_back({{"type", image->type},
                      {"name", ImageTypeName(image->type)},
                      {"header", HexText(image->header)},
                      {"header_length", image->header.size()},
                      {"length", bytes.size()},
                      {"sha256", Sha256::HexOf(bytes)},
                      {"closed", image->closed},
                      {"contiguous", image->Contiguous()},
                      {"writes", image->writes},
                      {"rewrites", image->rewrites}});
  }
  j["images_opened"] = s.images.size();

  return j.dump(2, ' ', true) + "\n";
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool DumpImages(const ModemSnapshot& s, const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    if (WriteBytes(fs::path(dir) / name, bytes)) return true;
    *error = "cannot write " + (fs::path(dir) / name).string();
    return false;
  };
  for (const FlashImage* image : FinalImages(s.images)) {
    if (!write(ImageTypeName(image->type) + ".mbn", image->Assembled())) return false;
    if (!image->header.empty() && !write(ImageHeaderName(image->type) + ".mbn", image->header))
      return false;
  }
  if (!s.partitionTables.empty() && !write("partition.mbn", s.partitionTables.back())) return false;
  if (!s.programmer.empty() && !write("armprg.bin", s.programmer)) return false;
  return true;
}

}  // namespace quorrel::sim
