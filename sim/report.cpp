#include "sim/report.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "sim/sha256.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// A small writer for the report: objects, arrays and scalars, comma and
// indentation handled here.
class Json {
 public:
  std::string Take() { return std::move(out_); }

  Json& BeginObject(const char* key = nullptr) { return Open(key, '{'); }
  Json& EndObject() { return Close('}'); }
  Json& BeginArray(const char* key = nullptr) { return Open(key, '['); }
  Json& EndArray() { return Close(']'); }

  Json& String(const char* key, std::string_view value) {
    Key(key);
    Quote(value);
    return *this;
  }
  Json& Number(const char* key, uint64_t value) {
    Key(key);
    out_ += std::to_string(value);
    return *this;
  }
  Json& Real(const char* key, double value) {
    Key(key);
    out_ += Format("%g", value);
    return *this;
  }
  Json& Bool(const char* key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
    return *this;
  }

 private:
  Json& Open(const char* key, char bracket) {
    Key(key);
    out_ += bracket;
    first_.push_back(true);
    return *this;
  }
  Json& Close(char bracket) {
    bool empty = first_.back();
    first_.pop_back();
    if (!empty) Newline();
    out_ += bracket;
    if (first_.empty()) out_ += '\n';
    return *this;
  }
  void Key(const char* key) {
    if (!first_.empty()) {
      if (!first_.back()) out_ += ',';
      first_.back() = false;
      Newline();
    }
    if (key != nullptr) {
      Quote(key);
      out_ += ": ";
    }
  }
  void Newline() {
    out_ += '\n';
    out_.append(2 * first_.size(), ' ');
  }
  void Quote(std::string_view text) {
    out_ += '"';
    for (char ch : text) {
      unsigned char c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
          if (c < 0x20 || c >= 0x7F) {
            out_ += Format("\\u%04x", c);
          } else {
            out_ += ch;
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
};

std::string ComName(int port) { return port > 0 ? Format("COM%d", port) : std::string(); }

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
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

std::string ReportJson(const ModemSnapshot& s, const ReportContext& context) {
  Json j;
  j.BeginObject();
  j.String("program", "quorrel-sim");
  j.Number("seed", context.seed);
  j.Real("time_scale", context.timeScale);
  j.Number("duration_ms", s.nowMs);
  j.String("final_mode", ModeName(s.mode));
  j.String("version", s.version);

  j.BeginArray("attachments");
  for (const AttachRecord& r : s.attachHistory) {
    j.BeginObject();
    j.Number("t_ms", r.timeMs);
    j.String("event", r.attached ? "attach" : "detach");
    j.String("diag", ComName(r.ports.diagPort));
    j.String("data", ComName(r.ports.dataPort));
    j.String("reason", r.reason);
    j.EndObject();
  }
  j.EndArray();

  j.BeginArray("requests");
  for (const RequestRecord& r : s.requests) {
    j.BeginObject();
    j.Number("t_ms", r.timeMs);
    j.String("port", PortRoleName(r.port));
    j.String("mode", ModeName(r.mode));
    if (r.code >= 0) j.String("code", Format("0x%02X", r.code));
    j.Number("length", r.length);
    j.String("what", r.what);
    j.EndObject();
  }
  j.EndArray();

  j.BeginArray("violations");
  for (const Violation& v : s.violations) {
    j.BeginObject();
    j.Number("t_ms", v.timeMs);
    j.String("mode", ModeName(v.mode));
    j.String("text", v.text);
    j.EndObject();
  }
  j.EndArray();

  j.BeginArray("at_commands");
  for (const AtRecord& a : s.atCommands) {
    j.BeginObject();
    j.Number("t_ms", a.timeMs);
    j.String("port", PortRoleName(a.port));
    j.String("command", a.command);
    j.Bool("answered", a.answered);
    j.EndObject();
  }
  j.EndArray();

  j.BeginArray("vendor_requests");
  for (const VendorRecord& v : s.vendorRequests) {
    j.BeginObject();
    j.Number("t_ms", v.timeMs);
    j.String("name", v.name);
    j.String("value", HexText(v.value));
    j.String("result", v.result);
    j.EndObject();
  }
  j.EndArray();

  j.BeginObject("handshake");
  j.String("result", HandshakeResultName(s.handshake.result));
  j.String("challenge", HexText(s.handshake.challenge));
  j.String("answer", HexText(s.handshake.answer));
  j.Number("challenges", static_cast<uint64_t>(s.handshake.challenges));
  j.Number("answers", static_cast<uint64_t>(s.handshake.answers));
  j.EndObject();

  j.BeginObject("settings");
  j.Number("autorun", s.autorun);
  j.Number("vendor_switch_aa", s.vendorSwitchAA);
  j.Number("diag_port_mode", static_cast<uint64_t>(s.diagPortMode));
  j.BeginArray("cd_run");
  for (const std::string& c : s.cdRun) j.String(nullptr, c);
  j.EndArray();
  j.EndObject();

  j.BeginArray("nv_writes");
  for (const NvWriteRecord& w : s.nvWrites) {
    j.BeginObject();
    j.Number("t_ms", w.timeMs);
    j.Number("item", w.item);
    j.Number("status", w.status);
    j.String("data", HexText(w.data));
    j.EndObject();
  }
  j.EndArray();

  j.BeginArray("partition_tables");
  for (const std::vector<uint8_t>& t : s.partitionTables) {
    j.BeginObject();
    j.Number("length", t.size());
    j.String("sha256", Sha256::HexOf(t));
    j.EndObject();
  }
  j.EndArray();

  j.BeginObject("programmer");
  j.Number("length", s.programmer.size());
  j.String("sha256", Sha256::HexOf(s.programmer));
  j.EndObject();

  j.BeginArray("images");
  for (const FlashImage* image : FinalImages(s.images)) {
    std::vector<uint8_t> bytes = image->Assembled();
    j.BeginObject();
    j.Number("type", image->type);
    j.String("name", ImageTypeName(image->type));
    j.String("header", HexText(image->header));
    j.Number("header_length", image->header.size());
    j.Number("length", bytes.size());
    j.String("sha256", Sha256::HexOf(bytes));
    j.Bool("closed", image->closed);
    j.Bool("contiguous", image->Contiguous());
    j.Number("writes", image->writes);
    j.Number("rewrites", image->rewrites);
    j.EndObject();
  }
  j.EndArray();
  j.Number("images_opened", s.images.size());

  j.EndObject();
  return j.Take();
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
    if (!image->header.empty() && !write(ImageHeaderName(image->type) + ".mbn", image->header)) return false;
  }
  if (!s.partitionTables.empty() && !write("partition.mbn", s.partitionTables.back())) return false;
  if (!s.programmer.empty() && !write("armprg.bin", s.programmer)) return false;
  return true;
}

}  // namespace quorrel::sim
