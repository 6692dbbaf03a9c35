#include "sim/flash_store.h"

#include <algorithm>

namespace quorrel::sim {

uint32_t FlashImage::Length() const {
  uint32_t end = 0;
  for (const auto& [address, data] : blocks) {
    uint64_t blockEnd = static_cast<uint64_t>(address) + data.size();
    end =
        static_cast<uint32_t>(std::max<uint64_t>(end, std::min<uint64_t>(blockEnd, 0xFFFFFFFFULL)));
  }
  return end;
}

std::vector<uint8_t> FlashImage::Assembled() const {
  std::vector<uint8_t> out(Length(), 0xFF);
  for (const auto& [address, data] : blocks) {
    size_t n = std::min<size_t>(data.size(), out.size() - address);
    std::copy_n(data.begin(), n, out.begin() + address);
  }
  return out;
}

bool FlashImage::Contiguous() const {
  uint64_t expected = 0;
  for (const auto& [address, data] : blocks) {
    if (address != expected) return false;
    expected += data.size();
  }
  return true;
}

FlashImage& FlashStore::Open(uint8_t type, std::vector<uint8_t> header, uint64_t nowMs) {
  FlashImage image;
  image.type = type;
  image.header = std::move(header);
  image.openedMs = nowMs;
  images_.push_back(std::move(image));
  open_ = images_.size() - 1;
  return images_.back();
}

FlashImage* FlashStore::OpenImage() {
  return open_ ? &images_[*open_] : nullptr;
}

void FlashStore::Write(uint32_t address, std::vector<uint8_t> data) {
  FlashImage* image = OpenImage();
  if (image == nullptr) return;
  ++image->writes;
  auto [it, inserted] = image->blocks.try_emplace(address);
  if (!inserted) ++image->rewrites;
  it->second = std::move(data);
}

bool FlashStore::Close(uint64_t nowMs) {
  FlashImage* image = OpenImage();
  if (image == nullptr) return false;
  image->closed = true;
  image->closedMs = nowMs;
  open_.reset();
  return true;
}

const FlashImage* FlashStore::Latest(uint8_t type) const {
  const FlashImage* lastOpened = nullptr;
  for (auto it = images_.rbegin(); it != images_.rend(); ++it) {
    if (it->type != type) continue;
    if (it->closed) return &*it;
    if (lastOpened == nullptr) lastOpened = &*it;
  }
  return lastOpened;
}

}  // namespace quorrel::sim
