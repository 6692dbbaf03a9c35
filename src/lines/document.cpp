#include "lines/document.h"

#include <cstdlib>

#include "platform/files.h"
#include "util/text.h"

namespace quorrel {

CQuorrelDoc::CQuorrelDoc(Clock& clock, SerialDevices& devices) : clock_(clock), devices_(devices) {
  for (int i = 0; i < kLineCount; ++i) {
    lines_[i] = std::make_unique<LineJob>();
    links_[i] = std::make_unique<PhoneLink>(clock, devices);
    at_channels_[i] = std::make_unique<AtChannel>(clock, devices);
    LineJob& job = *lines_[i];
    job.settings.baudRate = kBaudRate;
    job.settings.diagPort = i == 0 ? 1 : 0;
    job.runFlag = 0;
    job.lineMode = LineMode::Download;
    (void)job.SetVersionText(kNoPhoneText);
  }
}

CQuorrelDoc::~CQuorrelDoc() = default;

bool CQuorrelDoc::OnNewDocument(std::string_view exeDirectory, std::string* error) {
  std::string dir(exeDirectory);
  std::string armprg = dir + "\\armprg.bin";
  // The longest NV file name is as long as any other: "\ChannelN.nvm".
  std::string longestNv = Format("%s\\Channel%d.nvm", dir.c_str(), kLineCount);
  if (!Path260::Fits(armprg) || !Path256::Fits(dir) || !Path260::Fits(longestNv)) {
    if (error != nullptr) {
      *error = Format("The program folder \"%s\" is too long for the line settings", dir.c_str());
    }
    return false;
  }
  program_folder_ = dir;
  for (int i = 0; i < kLineCount; ++i) {
    SettingsRecord& s = lines_[i]->settings;
    (void)s.armprgPath.Set(armprg);
    (void)s.nvDirectory.Set(dir);
    (void)s.nvFile.Set(Format("%s\\Channel%d.nvm", s.nvDirectory.c_str(), i + 1));
  }
  for (int i = 0; i < kLineCount; ++i) {
    LineJob& job = *lines_[i];
    if (job.settings.diagPort != 0) {
      job.phoneState = PhoneState::NoAnswer;
      (void)job.SetVersionText(kNoPhoneText);
    } else {
      job.phoneState = PhoneState::NoPort;
      (void)job.SetVersionText("NULL");
    }
  }
  return true;
}

bool FastModeFromEnvironment() {
  const char* value = std::getenv("QUORREL_FAST");
  return value != nullptr && std::string_view(value) == "1";
}

void CQuorrelDoc::SetFast(bool fast) {
  fast_ = fast;
  for (auto& link : links_) link->SetFast(fast);
  for (auto& at : at_channels_) at->SetFast(fast);
}

std::vector<uint8_t> CQuorrelDoc::SaveSettings() const {
  std::vector<uint8_t> out(kFileSize);
  for (int i = 0; i < kLineCount; ++i) {
    lines_[i]->settings.StoreTo(std::span<uint8_t, SettingsRecord::kSize>(
        out.data() + i * SettingsRecord::kSize, SettingsRecord::kSize));
  }
  return out;
}

bool CQuorrelDoc::LoadSettings(std::span<const uint8_t> data, std::string* error) {
  if (data.size() != kFileSize) {
    if (error != nullptr) {
      *error = Format("A document file holds %zu bytes, this one %zu", kFileSize, data.size());
    }
    return false;
  }
  std::array<SettingsRecord, kLineCount> loaded;
  for (int i = 0; i < kLineCount; ++i) {
    std::string reason;
    if (!loaded[i].LoadFrom(std::span<const uint8_t, SettingsRecord::kSize>(
                                data.data() + i * SettingsRecord::kSize, SettingsRecord::kSize),
                            &reason)) {
      if (error != nullptr) *error = Format("Line%d: %s", i + 1, reason.c_str());
      return false;
    }
  }
  for (int i = 0; i < kLineCount; ++i) lines_[i]->settings = loaded[i];
  return true;
}

bool CQuorrelDoc::SaveToFile(std::string_view path, std::string* error) const {
  // A new file next to the old one, renamed over it once whole: a save that
  // fails half way leaves the older document as it was.
  const std::vector<uint8_t> data = SaveSettings();
  std::string temporary;
  std::optional<File> file = File::CreateTemporary(path, &temporary);
  bool saved = false;
  if (file) {
    saved = file->Write(data);
    file->Close();
    saved = saved && ReplaceFile(temporary, path);
    if (!saved) (void)DeleteFileAt(temporary);
  }
  if (!saved && error != nullptr) {
    *error =
        Format("Cannot write the document file %.*s", static_cast<int>(path.size()), path.data());
  }
  return saved;
}

bool CQuorrelDoc::LoadFromFile(std::string_view path, std::string* error) {
  // One byte more than a document holds, so that a longer file is named as
  // the wrong size rather than read whole.
  std::optional<std::string> data = ReadWholeFile(path, kFileSize + 1);
  if (!data) {
    if (error != nullptr)
      *error =
          Format("Cannot read the document file %.*s", static_cast<int>(path.size()), path.data());
    return false;
  }
  return LoadSettings(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data->data()), data->size()),
      error);
}

std::string CQuorrelDoc::CurrentVersionText() const {
  std::lock_guard<std::mutex> lock(values_mutex_);
  return current_version_;
}

void CQuorrelDoc::SetCurrentVersionText(std::string_view text) {
  std::lock_guard<std::mutex> lock(values_mutex_);
  current_version_ = text;
}

std::string CQuorrelDoc::OsName() const {
  std::lock_guard<std::mutex> lock(values_mutex_);
  return os_name_;
}

void CQuorrelDoc::SetOsName(std::string_view name) {
  std::lock_guard<std::mutex> lock(values_mutex_);
  os_name_ = name;
}

int CQuorrelDoc::OpenAtPort(int index, int port, int baud) {
  AtChannel& channel = at(index);
  if (channel.port.IsOpen()) channel.port.Close();
  int opened = channel.port.Open(port, baud, 8, 1);
  if (opened) {
    channel.SetTimeout(1000);
    channel.SetTries(2);
  }
  return opened;
}

bool CQuorrelDoc::EnableDiagPort(int index) {
  AtChannel& channel = at(index);
  if (channel.GetDiagMode() == 6) return true;
  return channel.SetDiagMode(6);
}

bool CQuorrelDoc::DisableDiagPort(int index) {
  return at(index).SetDiagMode(0);
}

bool CQuorrelDoc::CloseAtPort(int index) {
  AtChannel& channel = at(index);
  if (channel.port.IsOpen()) channel.port.Close();
  return true;
}

int CQuorrelDoc::SendAtCommand(int index, std::string_view text) {
  return at(index).SendCommand(text) ? 1 : 0;
}

}  // namespace quorrel
