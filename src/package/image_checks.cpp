#include "package/image_checks.h"

#include "lines/control_ids.h"
#include "package/image_set.h"
#include "platform/files.h"
#include "util/text.h"

namespace quorrel {

namespace {

struct CheckedImage {
  ImageFile file;
  const char* openFailure;
  const char* tooShort;
};

// The images tested before a job, in order, with their messages.
constexpr CheckedImage kChecked[] = {
    {ImageFile::Partition, "线路%d上无法打开载入的文件!", "Line%d: Open wrong partition.mbn! "},
    {ImageFile::QcsblhdCfgdata, "Line%d: can't open qcsblhd_cfgdata.mbn!",
     "Line%d: Open wrong qcsblhd_cfgdata.mbn! "},
    {ImageFile::Qcsbl, "Line%d: can't open qcsbl.mbn!", "Line%d: Open wrong qcsbl.mbn! "},
    {ImageFile::Oemsblhd, "Line%d: can't open oemsblhd.mbn!", "Line%d: Open wrong oemsblhd.mbn! "},
    {ImageFile::Oemsbl, "Line%d: can't open oemsbl.mbn!", "Line%d: Open wrong oemsbl.mbn! "},
    {ImageFile::Amsshd, "Line%d: can't open amsshd.mbn!", "Line%d: Open wrong amsshd.mbn! "},
    {ImageFile::Amss, "Line%d: can't open amss.mbn!", "Line%d: Open wrong amss.mbn! "},
};

// The images a chosen directory must hold, tested and copied one by one.
constexpr ImageFile kRequired[] = {
    ImageFile::Partition, ImageFile::QcsblhdCfgdata, ImageFile::Qcsbl, ImageFile::Oemsblhd,
    ImageFile::Oemsbl,    ImageFile::Amsshd,         ImageFile::Amss};

// Every path a folder gives the image sets.
constexpr ImageFile kFormed[] = {
    ImageFile::Partition, ImageFile::QcsblhdCfgdata, ImageFile::Qcsbl, ImageFile::Oemsblhd,
    ImageFile::Oemsbl,    ImageFile::Amsshd,         ImageFile::Amss,  ImageFile::Efs,
    ImageFile::Nandprghd, ImageFile::Nandprgcombined};

constexpr const char* kNotExist = " is not exist，Please choose again!";

void SetOnAllLines(CQuorrelDoc& doc, ImageFile file, const std::string& path) {
  for (int i = 0; i < kLineCount; ++i) {
    // Fits: every formed path was measured before anything was copied.
    (void)ImageSet(doc.line(i).settings).SetPath(file, path);
  }
}

}  // namespace

int CheckLineImages(CQuorrelDoc& doc, LineDisplay& display, int line, int requirePhone) {
  LineJob& job = doc.line(line);
  const int number = line + 1;
  std::string folder = job.settings.firmwareFolder.str();
  if (folder.empty()) {
    display.Message("You didn't load the firmware");
    return 0;
  }
  if (requirePhone != 0 && job.phoneState != PhoneState::Answered) {
    display.Message(Format("线路%d对应的串口上并没有检测到有手机连接!", number));
    return 0;
  }
  for (const CheckedImage& image : kChecked) {
    std::optional<File> file = File::OpenRead(ImagePath(folder, image.file));
    if (!file) {
      display.Message(Format(image.openFailure, number));
      return 0;
    }
    if (file->Size() < 2) {
      file->Close();
      display.Message(Format(image.tooShort, number));
      return 0;
    }
  }
  return 1;
}

void ChooseVersionDirectory(CQuorrelDoc& doc, LineDisplay& display) {
  std::optional<std::string> picked =
      display.BrowseForFolder("Please select Cadrow software version directory");
  std::string folder = picked.value_or(std::string());
  if (!picked) display.SetControlText(controls::kFirmwareFolderEdit, "");
  if (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();

  // A folder whose paths would not fit the image fields is refused before
  // anything changes.
  bool fits = Path256::Fits(folder);
  for (ImageFile file : kFormed) fits = fits && ImageSet::Fits(file, ImagePath(folder, file));
  if (!fits) {
    display.Message(folder + " is too long，Please choose again!");
    return;
  }

  for (int i = 0; i < kLineCount; ++i) {
    SettingsRecord& s = doc.line(i).settings;
    (void)s.firmwareFolder.Set(folder);
    (void)s.firmwareFolderCopy.Set(folder);
  }
  const std::string base = doc.line(0).settings.firmwareFolder.str();
  for (ImageFile file : kRequired) {
    std::string path = ImagePath(base, file);
    if (!PathExists(path)) {
      display.Message(path + kNotExist);
      return;
    }
    SetOnAllLines(doc, file, path);
  }
  std::string efs = ImagePath(base, ImageFile::Efs);
  SetOnAllLines(doc, ImageFile::Efs, efs);
  if (!PathExists(efs)) {
    display.Message(efs + kNotExist);
    return;
  }
  SetOnAllLines(doc, ImageFile::Nandprghd, ImagePath(base, ImageFile::Nandprghd));
  SetOnAllLines(doc, ImageFile::Nandprgcombined, ImagePath(base, ImageFile::Nandprgcombined));
  if (!PathExists(base)) {
    display.MessageBox({"The directory " + base + " does not exist!", "", MessageButtons::Ok,
                        MessageIcon::Warning});
  }
  display.SetControlText(controls::kFirmwareFolderEdit, base);
}

}  // namespace quorrel
