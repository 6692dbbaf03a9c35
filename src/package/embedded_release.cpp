#include "package/embedded_release.h"

#include <cstring>

#include "package/image_set.h"
#include "platform/files.h"

namespace quorrel {

namespace {

constexpr const char* kFolderChain[] = {
    "C:\\Program Files",
    "C:\\Program Files\\Windows Service",
    kExtractionFolder,
};

constexpr const char* kDeletedOnDestroy[] = {
    "amss.mbn",     "armprg.bin",    "partition.mbn",       "qcsblhd_cfgdata.mbn",
    "qcsbl.mbn",    "oemsblhd.mbn",  "oemsbl.mbn",          "amsshd.mbn",
    "efs.mbn",      "nandprghd.mbn", "VantrelDrvSetup.exe", "nandprgcombined.mbn",
    "ResetUSB.dll",
};

constexpr const char* kDeletedAfterDownload[] = {
    "amss.mbn",  "armprg.bin",          "partition.mbn", "qcsblhd_cfgdata.mbn",
    "qcsbl.mbn", "oemsblhd.mbn",        "oemsbl.mbn",    "amsshd.mbn",
    "efs.mbn",   "VantrelDrvSetup.exe", "nandprghd.mbn", "nandprgcombined.mbn",
};

// The images line 1 is pointed at.
constexpr ImageFile kPointed[] = {
    ImageFile::Partition, ImageFile::Pbl,    ImageFile::QcsblhdCfgdata, ImageFile::Qcsbl,
    ImageFile::Oemsblhd,  ImageFile::Oemsbl, ImageFile::Amsshd,         ImageFile::Amss,
    ImageFile::Efs,       ImageFile::Armprg, ImageFile::Nandprghd,      ImageFile::Nandprgcombined};

template <size_t N>
void DeleteListed(const char* const (&names)[N]) {
  for (const char* name : names) {
    char buffer[kMaxPath];
    std::strcpy(buffer, kExtractionFolder);
    if (FileExistsInDir(buffer, sizeof buffer, name)) DeleteFileAt(buffer);
  }
}

void UninstallOnWindows7(CQuorrelDoc& doc, const std::function<void()>& uninstallDriver) {
  if (doc.OsName() == "Windows 7" && uninstallDriver) uninstallDriver();
}

}  // namespace

int ExtractImageResource(const ResourceTable& resources, LineDisplay& display, int id,
                         std::string_view name) {
  const std::string failure = "read " + std::string(name) + " fail!";
  std::optional<std::span<const uint8_t>> data = resources.Find(id, kResourceType);
  if (!data) {
    display.Message(failure);
    return 0;
  }
  std::string path = std::string(kExtractionFolder) + "\\" + std::string(name);
  std::optional<File> file = File::OpenWrite(path);
  if (!file) {
    display.Message(failure);
    return 0;
  }
  // One write of the whole resource, straight from the linked-in bytes.
  if (!file->Write(*data)) {
    display.Message(failure);
    return 0;
  }
  return 1;
}

void PointAtExtractedRelease(CQuorrelDoc& doc, int line) {
  ImageSet images(doc.line(line).settings);
  (void)images.firmwareFolder().Set(kExtractionFolder);
  for (ImageFile file : kPointed) (void)images.SetPath(file, ImagePath(kExtractionFolder, file));
}

bool ExtractEmbeddedImages(CQuorrelDoc& doc, LineDisplay& display, const ResourceTable& resources) {
  for (const char* folder : kFolderChain) {
    if (!EnsureDirectory(folder)) {
      display.Message("source file path error!");
      return false;
    }
  }
  PointAtExtractedRelease(doc);
  for (const EmbeddedFile& entry : kEmbeddedFiles) {
    ExtractImageResource(resources, display, entry.id, entry.name);
  }
  return true;
}

void CleanUpAfterDownload(CQuorrelDoc& doc, const std::function<void()>& uninstallDriver) {
  DeleteListed(kDeletedAfterDownload);
  doc.clock().Sleep(500);
  UninstallOnWindows7(doc, uninstallDriver);
}

void CleanUpOnDestroy(CQuorrelDoc& doc, const std::function<void()>& uninstallDriver) {
  DeleteListed(kDeletedOnDestroy);
  UninstallOnWindows7(doc, uninstallDriver);
}

}  // namespace quorrel
