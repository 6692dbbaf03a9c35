// The image-path fields of a line's settings: the firmware folder and one
// full path per image file, each formed as folder, backslash, file name.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "lines/settings_record.h"

namespace quorrel {

enum class ImageFile {
  Partition,
  QcsblhdCfgdata,
  Qcsbl,
  Oemsblhd,
  Oemsbl,
  Amsshd,
  Amss,
  Efs,
  Armprg,
  Nandprghd,
  Nandprgcombined,
  Pbl,
};

inline constexpr std::array<ImageFile, 12> kAllImageFiles = {ImageFile::Partition,
                                                             ImageFile::QcsblhdCfgdata,
                                                             ImageFile::Qcsbl,
                                                             ImageFile::Oemsblhd,
                                                             ImageFile::Oemsbl,
                                                             ImageFile::Amsshd,
                                                             ImageFile::Amss,
                                                             ImageFile::Efs,
                                                             ImageFile::Armprg,
                                                             ImageFile::Nandprghd,
                                                             ImageFile::Nandprgcombined,
                                                             ImageFile::Pbl};

// The file name, e.g. "partition.mbn".
const char* ImageFileName(ImageFile file);

// folder + "\" + the file's name.
std::string ImagePath(std::string_view folder, ImageFile file);

class ImageSet {
 public:
  explicit ImageSet(SettingsRecord& record) : record_(record) {}

  Path256& firmwareFolder() { return record_.firmwareFolder; }
  std::string_view Folder() const { return record_.firmwareFolder.view(); }
  std::string_view Path(ImageFile file) const;
  // False (field unchanged) when the path does not fit its field.
  [[nodiscard]] bool SetPath(ImageFile file, std::string_view path);
  // Whether the path would fit the file's field.
  static bool Fits(ImageFile file, std::string_view path);

 private:
  SettingsRecord& record_;
};

}  // namespace quorrel
