#include "package/image_set.h"

namespace quorrel {

namespace {

// The field of a file, as a pointer to either capacity.
struct Field {
  Path256* p256 = nullptr;
  Path260* p260 = nullptr;
};

Field FieldOf(SettingsRecord& r, ImageFile file) {
  switch (file) {
    case ImageFile::Partition:
      return {&r.partitionPath, nullptr};
    case ImageFile::QcsblhdCfgdata:
      return {&r.qcsblhdCfgdataPath, nullptr};
    case ImageFile::Qcsbl:
      return {&r.qcsblPath, nullptr};
    case ImageFile::Oemsblhd:
      return {&r.oemsblhdPath, nullptr};
    case ImageFile::Oemsbl:
      return {&r.oemsblPath, nullptr};
    case ImageFile::Amsshd:
      return {&r.amsshdPath, nullptr};
    case ImageFile::Amss:
      return {&r.amssPath, nullptr};
    case ImageFile::Efs:
      return {&r.efsPath, nullptr};
    case ImageFile::Pbl:
      return {&r.pblPath, nullptr};
    case ImageFile::Armprg:
      return {nullptr, &r.armprgPath};
    case ImageFile::Nandprghd:
      return {nullptr, &r.nandprghdPath};
    case ImageFile::Nandprgcombined:
      return {nullptr, &r.nandprgcombinedPath};
  }
  return {};
}

}  // namespace

const char* ImageFileName(ImageFile file) {
  switch (file) {
    case ImageFile::Partition:
      return "partition.mbn";
    case ImageFile::QcsblhdCfgdata:
      return "qcsblhd_cfgdata.mbn";
    case ImageFile::Qcsbl:
      return "qcsbl.mbn";
    case ImageFile::Oemsblhd:
      return "oemsblhd.mbn";
    case ImageFile::Oemsbl:
      return "oemsbl.mbn";
    case ImageFile::Amsshd:
      return "amsshd.mbn";
    case ImageFile::Amss:
      return "amss.mbn";
    case ImageFile::Efs:
      return "efs.mbn";
    case ImageFile::Armprg:
      return "armprg.bin";
    case ImageFile::Nandprghd:
      return "nandprghd.mbn";
    case ImageFile::Nandprgcombined:
      return "nandprgcombined.mbn";
    case ImageFile::Pbl:
      return "pbl.mbn";
  }
  return "";
}

std::string ImagePath(std::string_view folder, ImageFile file) {
  std::string path(folder);
  path += '\\';
  path += ImageFileName(file);
  return path;
}

std::string_view ImageSet::Path(ImageFile file) const {
  Field f = FieldOf(record_, file);
  return f.p256 != nullptr ? f.p256->view() : f.p260->view();
}

bool ImageSet::SetPath(ImageFile file, std::string_view path) {
  Field f = FieldOf(record_, file);
  return f.p256 != nullptr ? f.p256->Set(path) : f.p260->Set(path);
}

bool ImageSet::Fits(ImageFile file, std::string_view path) {
  SettingsRecord probe;
  Field f = FieldOf(probe, file);
  return f.p256 != nullptr ? Path256::Fits(path) : Path260::Fits(path);
}

}  // namespace quorrel
