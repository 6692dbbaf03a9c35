// Writes the synthetic demo release: the eleven image files with the shapes
// the updater expects, a stand-in for the USB driver setup program and the
// four status pictures. Content is pseudo-random from fixed seeds, so every
// build writes the same bytes.
//
//   quorrel-release-gen small|full <output folder>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Sizes {
  uint32_t amss;
  uint32_t qcsblhdCfgdata;
  uint32_t qcsbl;
  uint32_t oemsbl;
  uint32_t efs;
  uint32_t programmer;  // armprg.bin and nandprgcombined.mbn, header included
  uint32_t driverSetup;
};

// The carried release at its real sizes (for benchmarks).
constexpr Sizes kFull{15'820'134, 1'336, 45'750, 259'983, 18'696'192, 107'516, 2'637'648};
// Small enough for fast tests, with amss and efs still many 1 KiB blocks long.
constexpr Sizes kSmall{61'566, 1'336, 5'750, 9'983, 75'776, 7'516, 2'648};

constexpr uint32_t kPartitionTableSize = 464;
constexpr uint32_t kHeaderSize = 40;

constexpr uint32_t kAmssLoad = 0x00200000;
constexpr uint32_t kOemsblLoad = 0x00100000;
constexpr uint32_t kProgrammerLoad = 0x00800000;

// splitmix64: small, fast and the same everywhere.
class Prng {
 public:
  explicit Prng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void Fill(Bytes& out, size_t count) {
    for (size_t i = 0; i < count; i += 8) {
      uint64_t v = Next();
      for (size_t k = 0; k < 8 && i + k < count; ++k)
        out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
  }

 private:
  uint64_t state_;
};

uint64_t Seed(std::string_view name) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 1099511628211ull;
  }
  return h;
}

void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Ten little-endian words: kind, 3, 0, load address, length twice, end
// address, 0, end address, 0.
Bytes ImageHeader(uint32_t kind, uint32_t load, uint32_t length) {
  Bytes out;
  for (uint32_t w : {kind, 3u, 0u, load, length, length, load + length, 0u, load + length, 0u}) {
    Put32(out, w);
  }
  return out;
}

Bytes Random(std::string_view name, uint32_t size) {
  Bytes out;
  Prng(Seed(name)).Fill(out, size);
  return out;
}

Bytes PartitionTable() {
  struct Entry {
    const char* name;
    uint32_t length;  // blocks; 0xFFFFFFFF: the rest of the flash
    uint32_t attributes;
    uint32_t flash;
  };
  static const Entry kEntries[] = {
      {"0:MIBIB", 10, 0x00FF0000, 0},   {"0:SIM_SECURE", 3, 0x00FF0001, 0},
      {"0:QCSBL", 4, 0x00FF0000, 0},    {"0:OEMSBL1", 12, 0x00FF0000, 0},
      {"0:OEMSBL2", 12, 0x00FF0000, 0}, {"0:AMSS", 760, 0x00FF0000, 0},
      {"0:APPS", 0, 0x00FF0000, 0},     {"0:FOTA", 32, 0x00FF0001, 0},
      {"0:EFS2", 900, 0x00FF0101, 0},   {"0:EFS2APPS", 0xFFFFFFFF, 0x00FF0101, 0},
  };
  Bytes out;
  Put32(out, 0xAA7D1B9A);
  Put32(out, 0x1F7D48BC);
  Put32(out, 3);
  Put32(out, static_cast<uint32_t>(sizeof kEntries / sizeof kEntries[0]));
  for (const Entry& e : kEntries) {
    char name[16] = {};
    std::strncpy(name, e.name, sizeof name - 1);
    out.insert(out.end(), name, name + sizeof name);
    Put32(out, e.length);
    Put32(out, e.attributes);
    Put32(out, e.flash);
  }
  out.resize(kPartitionTableSize, 0);
  return out;
}

// A 32-bit little-endian ARM executable with two loadable segments (code,
// then data) that fill the file up to size.
Bytes AmssElf(uint32_t size) {
  constexpr uint32_t kEhdr = 52, kPhdr = 32, kSegments = 2;
  const uint32_t dataStart = kEhdr + kSegments * kPhdr;
  const uint32_t payload = size - dataStart;
  const uint32_t codeSize = (payload * 3 / 4) & ~3u;
  const uint32_t dataSize = payload - codeSize;
  Bytes out = {0x7F, 'E', 'L', 'F', 1 /*32-bit*/, 1 /*little-endian*/, 1 /*version*/, 0};
  out.resize(16, 0);
  Put16(out, 2);           // e_type: executable
  Put16(out, 40);          // e_machine: ARM
  Put32(out, 1);           // e_version
  Put32(out, kAmssLoad);   // e_entry
  Put32(out, kEhdr);       // e_phoff
  Put32(out, 0);           // e_shoff
  Put32(out, 0x05000002);  // e_flags: EABI 5, has entry
  Put16(out, kEhdr);       // e_ehsize
  Put16(out, kPhdr);       // e_phentsize
  Put16(out, kSegments);   // e_phnum
  Put16(out, 40);          // e_shentsize
  Put16(out, 0);           // e_shnum
  Put16(out, 0);           // e_shstrndx
  struct Segment {
    uint32_t offset, size, flags;
  } segments[kSegments] = {{dataStart, codeSize, 5 /*R+X*/},
                           {dataStart + codeSize, dataSize, 6 /*R+W*/}};
  for (const Segment& s : segments) {
    Put32(out, 1);  // PT_LOAD
    Put32(out, s.offset);
    Put32(out, kAmssLoad + s.offset - dataStart);  // p_vaddr
    Put32(out, kAmssLoad + s.offset - dataStart);  // p_paddr
    Put32(out, s.size);
    Put32(out, s.size);
    Put32(out, s.flags);
    Put32(out, 4);
  }
  Prng(Seed("amss.mbn")).Fill(out, payload);
  return out;
}

// The EFS image: pages of 2 KiB, most of them erased (0xFF), some written.
Bytes EfsImage(uint32_t size) {
  Bytes out;
  out.reserve(size);
  Prng prng(Seed("efs.mbn"));
  constexpr uint32_t kPage = 2048;
  for (uint32_t page = 0; out.size() < size; ++page) {
    uint32_t n = std::min<uint32_t>(kPage, size - static_cast<uint32_t>(out.size()));
    if (page % 4 == 3) {
      out.insert(out.end(), n, 0xFF);
    } else {
      prng.Fill(out, n);
    }
  }
  return out;
}

Bytes Programmer(uint32_t size) {
  Bytes out = ImageHeader(5, kProgrammerLoad, size - kHeaderSize);
  Bytes code = Random("nandprgcombined.mbn", size - kHeaderSize);
  out.insert(out.end(), code.begin(), code.end());
  return out;
}

// Not a working program: the DOS stub and PE signature of a Windows
// executable, then filler.
Bytes DriverSetup(uint32_t size) {
  Bytes out = {'M', 'Z'};
  out.resize(0x3C, 0);
  Put32(out, 0x80);  // e_lfanew
  const char stub[] = "This program cannot be run in DOS mode.\r\r\n$";
  out.insert(out.end(), stub, stub + sizeof stub - 1);
  out.resize(0x80, 0);
  out.insert(out.end(), {'P', 'E', 0, 0});
  Bytes rest = Random("VantrelDrvSetup.exe", size - static_cast<uint32_t>(out.size()));
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// A 50 x 16, 256-colour bitmap as a resource holds it: the information
// header, the colour table and the bottom-up rows, without the file header.
Bytes StatusBitmap(uint8_t r, uint8_t g, uint8_t b) {
  constexpr int kWidth = 50, kHeight = 16, kStride = 52;
  Bytes out;
  Put32(out, 40);
  Put32(out, kWidth);
  Put32(out, kHeight);
  Put16(out, 1);
  Put16(out, 8);
  Put32(out, 0);  // uncompressed
  Put32(out, kStride * kHeight);
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, 256);
  Put32(out, 0);
  for (int i = 0; i < 256; ++i) {
    // 0 black, 1 the status colour, 2 white, the rest grey shades
    uint8_t c[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i)};
    if (i == 0) c[0] = c[1] = c[2] = 0;
    if (i == 1) {
      c[0] = b;
      c[1] = g;
      c[2] = r;
    }
    if (i == 2) c[0] = c[1] = c[2] = 255;
    out.insert(out.end(), {c[0], c[1], c[2], 0});
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kStride; ++x) {
      uint8_t index = 1;
      if (x >= kWidth)
        index = 0;
      else if (y == 0 || y == kHeight - 1 || x == 0 || x == kWidth - 1)
        index = 0;
      out.push_back(index);
    }
  }
  return out;
}

bool WriteFile(const std::filesystem::path& folder, const char* name, const Bytes& data) {
  std::filesystem::path path = folder / name;
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    if (!out) {
      std::fprintf(stderr, "quorrel-release-gen: cannot write %s\n", temp.c_str());
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::fprintf(stderr, "quorrel-release-gen: cannot rename %s\n", temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string_view(argv[1]) != "small" && std::string_view(argv[1]) != "full")) {
    std::fprintf(stderr, "usage: quorrel-release-gen small|full <output folder>\n");
    return 2;
  }
  const Sizes& s = std::string_view(argv[1]) == "full" ? kFull : kSmall;
  std::filesystem::path folder = argv[2];
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);

  Bytes qcsblhd = ImageHeader(4, 0, s.qcsbl);
  Bytes cfg = Random("qcsblhd_cfgdata.mbn", s.qcsblhdCfgdata - kHeaderSize);
  qcsblhd.insert(qcsblhd.end(), cfg.begin(), cfg.end());
  Bytes programmer = Programmer(s.programmer);

  struct Output {
    const char* name;
    Bytes data;
  } outputs[] = {
      {"amss.mbn", AmssElf(s.amss)},
      {"partition.mbn", PartitionTable()},
      {"qcsblhd_cfgdata.mbn", qcsblhd},
      {"qcsbl.mbn", Random("qcsbl.mbn", s.qcsbl)},
      {"oemsblhd.mbn", ImageHeader(1, kOemsblLoad, s.oemsbl)},
      {"oemsbl.mbn", Random("oemsbl.mbn", s.oemsbl)},
      {"amsshd.mbn", ImageHeader(2, kAmssLoad, s.amss)},
      {"efs.mbn", EfsImage(s.efs)},
      {"armprg.bin", programmer},
      {"nandprghd.mbn", ImageHeader(5, kProgrammerLoad, s.programmer - kHeaderSize)},
      {"nandprgcombined.mbn", programmer},
      {"VantrelDrvSetup.exe", DriverSetup(s.driverSetup)},
      {"ready.dib", StatusBitmap(0xC0, 0xC0, 0xC0)},
      {"running.dib", StatusBitmap(0xF0, 0xC0, 0x00)},
      {"pass.dib", StatusBitmap(0x00, 0xB0, 0x40)},
      {"fail.dib", StatusBitmap(0xE0, 0x20, 0x20)},
  };
  for (const Output& o : outputs) {
    if (!WriteFile(folder, o.name, o.data)) return 1;
  }
  return 0;
}
