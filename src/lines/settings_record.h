// One line's settings: image paths, firmware folder, NV paths, programmer
// path, ports and baud rate, stored as a record of exactly 5,164 bytes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "lines/fixed_text.h"

namespace quorrel {

using Path256 = FixedText<256>;
using Path260 = FixedText<260>;

// A port number of a line: the port watch and a job write it after each
// discovery while the user-interface thread and the other thread of the line
// read it, so every access is atomic. Copies and compares as the number.
class PortNumber {
 public:
  PortNumber(int32_t value = 0) : value_(value) {}  // NOLINT: a number stands for it
  PortNumber(const PortNumber& other) : value_(other.get()) {}
  PortNumber& operator=(const PortNumber& other) {
    value_.store(other.get());
    return *this;
  }
  PortNumber& operator=(int32_t value) {
    value_.store(value);
    return *this;
  }
  operator int32_t() const { return get(); }  // NOLINT: reads as the number
  int32_t get() const { return value_.load(); }

 private:
  std::atomic<int32_t> value_;
};

struct SettingsRecord {
  static constexpr size_t kSize = 5164;

  // Byte offsets of the fields inside the record.
  enum Offset : size_t {
    kPartitionPath = 0,
    kPblPath = 256,
    kQcsblhdCfgdataPath = 512,
    kQcsblPath = 768,
    kOemsblhdPath = 1024,
    kOemsblPath = 1280,
    kAmsshdPath = 1536,
    kAmssPath = 1792,
    kFirmwareFolder = 2048,
    kEfsPath = 2304,
    kReserved = 2560,
    kNvDirectory = 2820,
    kUpgradeProgrammerFile = 3076,
    kBootFile = 3336,
    kArmprgPath = 3596,
    kNvFile = 3856,
    kDiagPort = 4116,
    kAtPort = 4120,
    kBaudRate = 4124,
    kDefaultNvFile = 4128,
    kFirmwareFolderCopy = 4388,
    kNandprghdPath = 4644,
    kNandprgcombinedPath = 4904,
  };

  Path256 partitionPath;
  Path256 pblPath;
  Path256 qcsblhdCfgdataPath;
  Path256 qcsblPath;
  Path256 oemsblhdPath;
  Path256 oemsblPath;
  Path256 amsshdPath;
  Path256 amssPath;
  Path256 firmwareFolder;  // no trailing backslash; empty: no release loaded
  Path256 efsPath;
  std::array<uint8_t, 260> reserved{};
  Path256 nvDirectory;
  Path260 upgradeProgrammerFile;
  Path260 bootFile;
  Path260 armprgPath;
  Path260 nvFile;
  PortNumber diagPort = 0;  // COM number; 0 = none
  PortNumber atPort = 0;    // COM number; 0 = none
  int32_t baudRate = 0;
  Path260 defaultNvFile;
  Path256 firmwareFolderCopy;
  Path260 nandprghdPath;
  Path260 nandprgcombinedPath;

  // Writes the record, field by field, into out (kSize bytes).
  void StoreTo(std::span<uint8_t, kSize> out) const;
  // Reads a record; false (with the reason in *error) when a text field has
  // no terminator, and then nothing of this record changes.
  bool LoadFrom(std::span<const uint8_t, kSize> in, std::string* error);

  bool operator==(const SettingsRecord& other) const = default;
};

}  // namespace quorrel
