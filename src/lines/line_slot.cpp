#include "lines/line_slot.h"

namespace quorrel {

std::string LineJob::VersionText() const {
  std::lock_guard<std::mutex> lock(version_mutex_);
  return version_text_.str();
}

bool LineJob::SetVersionText(std::string_view text) {
  std::lock_guard<std::mutex> lock(version_mutex_);
  return version_text_.Set(text);
}

std::string LineJob::ShownVersionText() const {
  std::lock_guard<std::mutex> lock(version_mutex_);
  return shown_version_.empty() ? version_text_.str() : shown_version_;
}

void LineJob::SetShownVersionText(std::string_view text) {
  std::lock_guard<std::mutex> lock(version_mutex_);
  shown_version_ = text.substr(0, kVersionCapacity);
}

ModemBinding LineJob::Binding() const {
  std::lock_guard<std::mutex> lock(binding_mutex_);
  return binding_;
}

void LineJob::SetBinding(ModemBinding binding) {
  std::lock_guard<std::mutex> lock(binding_mutex_);
  binding_ = std::move(binding);
}

void LineJob::SetBoundEsn(uint32_t esn) {
  std::lock_guard<std::mutex> lock(binding_mutex_);
  binding_.esn = esn;
}

ModemPlace LineJob::Place() const {
  std::lock_guard<std::mutex> lock(binding_mutex_);
  return place_;
}

void LineJob::SetPlace(ModemPlace place) {
  std::lock_guard<std::mutex> lock(binding_mutex_);
  place_ = std::move(place);
}

}  // namespace quorrel
