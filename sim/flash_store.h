// What the flash programmer was given: the partition tables, and every image
// opened, by type, with its header and its blocks by address.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace quorrel::sim {

struct FlashImage {
  uint8_t type = 0;
  std::vector<uint8_t> header;
  std::map<uint32_t, std::vector<uint8_t>> blocks;  // by address; a rewrite replaces
  uint32_t writes = 0;
  uint32_t rewrites = 0;  // writes to an address already written
  bool closed = false;
  uint64_t openedMs = 0;
  uint64_t closedMs = 0;

  // One past the highest byte written.
  uint32_t Length() const;
  // The bytes from address 0 to Length(); gaps read as 0xFF (erased flash).
  std::vector<uint8_t> Assembled() const;
  // True when the blocks cover 0..Length() exactly, without gap or overlap.
  bool Contiguous() const;
};

class FlashStore {
 public:
  void AddPartitionTable(std::vector<uint8_t> table) { tables_.push_back(std::move(table)); }
  const std::vector<std::vector<uint8_t>>& PartitionTables() const { return tables_; }

  // Opens a new image (an image still open is left unclosed).
  FlashImage& Open(uint8_t type, std::vector<uint8_t> header, uint64_t nowMs);
  FlashImage* OpenImage();
  void Write(uint32_t address, std::vector<uint8_t> data);
  // Closes the open image; false when none was open.
  bool Close(uint64_t nowMs);
  // Leaves the open image unclosed (the programmer stopped).
  void Abandon() { open_.reset(); }

  const std::vector<FlashImage>& Images() const { return images_; }
  // The image of a type that the flash ends up holding: the last one closed,
  // else the last one opened; nullptr when the type never came.
  const FlashImage* Latest(uint8_t type) const;

 private:
  std::vector<std::vector<uint8_t>> tables_;
  std::vector<FlashImage> images_;
  std::optional<size_t> open_;
};

}  // namespace quorrel::sim
