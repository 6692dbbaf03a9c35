// The release set checks: choosing a release folder and testing a line's
// images before its job. The folder C:\rel holds the images the input
// names, at the sizes it gives; the folder browser answers with the input's
// text. Input: 16 bits of images present, one size byte per image, then the
// folder text (empty: C:\rel).
#include <fstream>

#include "app/recording_display.h"
#include "fuzz/fuzz_support.h"
#include "lines/document.h"
#include "package/image_checks.h"
#include "package/image_set.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

constexpr std::string_view kFolder = "C:\\rel";

constexpr ImageFile kChecked[] = {
    ImageFile::Partition, ImageFile::QcsblhdCfgdata, ImageFile::Qcsbl, ImageFile::Oemsblhd,
    ImageFile::Oemsbl,    ImageFile::Amsshd,         ImageFile::Amss};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path& root = ScratchRoot();
  (void)root;
  static VirtualClock clock;
  static MemoryPorts ports;

  Input in(data, size);
  const uint16_t present = in.Le16();
  std::array<size_t, kAllImageFiles.size()> sizes{};
  for (size_t& s : sizes) s = in.Byte();
  const std::span<const uint8_t> text = in.Rest();
  const std::string folder =
      text.empty() ? std::string(kFolder) : std::string(text.begin(), text.end());

  const std::filesystem::path dir = MapPath(kFolder);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir, ec);
  for (size_t i = 0; i < kAllImageFiles.size(); ++i) {
    if ((present >> i & 1) == 0) continue;
    std::ofstream out(dir / ImageFileName(kAllImageFiles[i]), std::ios::binary);
    const std::string content(sizes[i], '\x7E');
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }

  CQuorrelDoc doc(clock, ports);
  RecordingDisplay display;
  display.SetFolderBrowser([&](std::string_view) { return std::optional<std::string>(folder); });
  ChooseVersionDirectory(doc, display);
  const int passed = CheckLineImages(doc, display, 0, 0);

  if (passed && doc.line(0).settings.firmwareFolder.view() == kFolder) {
    for (ImageFile f : kChecked) {
      const size_t i = static_cast<size_t>(
          std::find(kAllImageFiles.begin(), kAllImageFiles.end(), f) - kAllImageFiles.begin());
      FUZZ_CHECK((present >> i & 1) == 1 && sizes[i] >= 2);
    }
  }
  return 0;
}
