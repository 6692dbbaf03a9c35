#include "cli/trace.h"

#include <cstring>

namespace quorrel::cli {

namespace {

class TracingDevice : public SerialDevice {
 public:
  TracingDevice(std::unique_ptr<SerialDevice> inner, int port, TracingSerialDevices& trace)
      : inner_(std::move(inner)), port_(port), trace_(trace) {}
  ~TracingDevice() override { trace_.Note(port_, "closed"); }

  void Purge(bool input, bool output) override { inner_->Purge(input, output); }
  int Write(const uint8_t* data, int length) override {
    int written = inner_->Write(data, length);
    trace_.Record(port_, '>', data, written > 0 ? written : 0);
    if (written != length) trace_.Note(port_, "write incomplete");
    return written;
  }
  int BytesQueued() override { return inner_->BytesQueued(); }
  int Read(uint8_t* buffer, int maxLength) override {
    int n = inner_->Read(buffer, maxLength);
    if (n > 0) trace_.Record(port_, '<', buffer, n);
    return n;
  }
  void Note(std::string_view text) override { trace_.Note(port_, std::string(text)); }
  bool HungUp() override { return inner_->HungUp(); }
  bool WaitReadable(uint32_t realMs) override { return inner_->WaitReadable(realMs); }

 private:
  std::unique_ptr<SerialDevice> inner_;
  int port_;
  TracingSerialDevices& trace_;
};

}  // namespace

TracingSerialDevices::TracingSerialDevices(SerialDevices& inner, std::FILE* file)
    : inner_(inner), file_(file), origin_(std::chrono::steady_clock::now()) {}

std::unique_ptr<SerialDevice> TracingSerialDevices::Open(int port, int baudRate, int dataBits,
                                                         int stopBits) {
  std::unique_ptr<SerialDevice> device = inner_.Open(port, baudRate, dataBits, stopBits);
  if (!device) {
    Note(port, "open failed");
    return nullptr;
  }
  Note(port, "opened at " + std::to_string(baudRate));
  return std::make_unique<TracingDevice>(std::move(device), port, *this);
}

void TracingSerialDevices::Record(int port, char direction, const uint8_t* data, int length) {
  if (length <= 0) return;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(static_cast<size_t>(length) * 3 + 32);
  for (int i = 0; i < length; ++i) {
    if (i > 0) line.push_back(' ');
    line.push_back(kHex[data[i] >> 4]);
    line.push_back(kHex[data[i] & 0x0F]);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(file_, "%10.3f  COM%-3d %c  %s\n", seconds, port, direction, line.c_str());
}

void TracingSerialDevices::Note(int port, const std::string& text) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(file_, "%10.3f  COM%-3d -  %s\n", seconds, port, text.c_str());
}

}  // namespace quorrel::cli
