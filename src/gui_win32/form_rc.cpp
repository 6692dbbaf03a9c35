// quorrel-form-rc: writes the resource script of the Windows window from the
// form's layout table: dialog template 101 (the main form) and 100 (About),
// the start, stop and program icons, and the manifest. Runs on the build
// machine during the Windows build.
//
//   quorrel-form-rc OUT_DIR MANIFEST
//
// writes OUT_DIR/quorrel.rc and the icon files it names.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/form_layout.h"
#include "app/form_model.h"
#include "gui_win32/rc_script.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

struct Rgba {
  uint8_t r, g, b, a;
};

// A 32 x 32 icon file with one 32-bit image: the directory, its entry, the
// information header (twice the height: colour rows, then the mask rows),
// the bottom-up BGRA rows and the mask rows.
Bytes IconFile(const std::function<Rgba(double x, double y)>& paint) {
  constexpr int kSide = 32;
  constexpr uint32_t kHeader = 40;
  constexpr uint32_t kColour = kSide * kSide * 4;
  constexpr uint32_t kMask = kSide * 4;  // 1 bit per pixel, rows of 4 bytes
  Bytes out;
  Put16(out, 0);
  Put16(out, 1);  // an icon
  Put16(out, 1);  // one image
  out.push_back(kSide);
  out.push_back(kSide);
  out.push_back(0);  // no palette
  out.push_back(0);
  Put16(out, 1);   // planes
  Put16(out, 32);  // bits per pixel
  Put32(out, kHeader + kColour + kMask);
  Put32(out, 6 + 16);  // where the image starts
  Put32(out, kHeader);
  Put32(out, kSide);
  Put32(out, kSide * 2);
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);  // uncompressed
  Put32(out, kColour + kMask);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  // The mask, set where the picture is clear: drawing that ignores the
  // alpha channel (a disabled button's greyed icon) still sees the shape.
  Bytes mask;
  for (int row = kSide - 1; row >= 0; --row) {
    uint8_t bits[kSide / 8] = {};
    for (int x = 0; x < kSide; ++x) {
      const Rgba c = paint((x + 0.5) / kSide, (row + 0.5) / kSide);
      out.insert(out.end(), {c.b, c.g, c.r, c.a});
      if (c.a == 0) bits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    mask.insert(mask.end(), bits, bits + sizeof bits);
  }
  out.insert(out.end(), mask.begin(), mask.end());
  return out;
}

// A right-pointing triangle: start.
Rgba StartPaint(double x, double y) {
  const double dy = std::fabs(y - 0.5);
  if (x >= 0.22 && x <= 0.84 && dy <= (0.84 - x) * 0.62) return {0x20, 0xA0, 0x30, 0xFF};
  return {0, 0, 0, 0};
}

// A square with rounded corners: stop.
Rgba StopPaint(double x, double y) {
  const double dx = std::fmax(std::fabs(x - 0.5) - 0.22, 0.0);
  const double dy = std::fmax(std::fabs(y - 0.5) - 0.22, 0.0);
  if (dx * dx + dy * dy <= 0.08 * 0.08) return {0xD0, 0x20, 0x20, 0xFF};
  return {0, 0, 0, 0};
}

// A blue disc with a white arrow down into a bar: the program.
Rgba ProgramPaint(double x, double y) {
  const double dx = x - 0.5, dy = y - 0.5;
  if (dx * dx + dy * dy > 0.47 * 0.47) return {0, 0, 0, 0};
  const bool shaft = std::fabs(dx) <= 0.07 && y >= 0.18 && y <= 0.52;
  const bool head = y > 0.52 && y <= 0.72 && std::fabs(dx) <= (0.72 - y) * 1.1;
  const bool bar = y >= 0.76 && y <= 0.82 && std::fabs(dx) <= 0.24;
  if (shaft || head || bar) return {0xFF, 0xFF, 0xFF, 0xFF};
  return {0x1E, 0x5A, 0xB4, 0xFF};
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quorrel-form-rc OUT_DIR MANIFEST\n");
    return 2;
  }
  using namespace quorrel;
  const std::string dir = argv[1];
  struct Icon {
    int id;
    const char* file;
    Rgba (*paint)(double, double);
  };
  const Icon icons[] = {{kIconProgram, "program.ico", ProgramPaint},
                        {kIconStart, "start.ico", StartPaint},
                        {kIconStop, "stop.ico", StopPaint}};
  win32::ResourceFiles files;
  files.manifest = argv[2];
  for (const Icon& icon : icons) {
    const std::string path = dir + "/" + icon.file;
    const Bytes bytes = IconFile(icon.paint);
    if (!WriteFile(path, bytes.data(), bytes.size())) {
      std::fprintf(stderr, "quorrel-form-rc: cannot write %s\n", path.c_str());
      return 1;
    }
    files.icons.push_back({icon.id, path});
  }
  const std::string script = win32::ResourceScript(files);
  const std::string rc = dir + "/quorrel.rc";
  if (!WriteFile(rc, script.data(), script.size())) {
    std::fprintf(stderr, "quorrel-form-rc: cannot write %s\n", rc.c_str());
    return 1;
  }
  return 0;
}
