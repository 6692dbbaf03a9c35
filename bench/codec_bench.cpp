// Throughput of the frame codec: the CRC, and building plus checking one
// streaming write frame of 1024 data bytes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "link/hdlc.h"
#include "link/phone_link.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"

namespace {

using quorrel::Crc16Update;

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> data(n);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

void BM_Crc16(benchmark::State& state) {
  const auto data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc16Update(quorrel::kCrcInit, data));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(1024)->Arg(64 * 1024);

// Encode with the link's framing of a stream write, then undo it the way
// the receiving end does: un-stuff and check the CRC.
void EncodeDecode(benchmark::State& state, const std::vector<uint8_t>& data) {
  quorrel::VirtualClock clock;
  quorrel::MemoryPorts ports;
  std::vector<uint8_t> frame(quorrel::PhoneLink::kFrameCapacity);
  uint32_t address = 0;
  for (auto _ : state) {
    const uint8_t head[5] = {
        0x07, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
    const size_t n = quorrel::FrameRequest(quorrel::LinkProtocol::Streaming, head, data, frame);
    auto packet = quorrel::Unstuff(std::span<const uint8_t>(frame.data() + 1, n - 2));
    if (!packet || !quorrel::FrameCheckGood(*packet)) state.SkipWithError("frame did not check");
    benchmark::DoNotOptimize(packet);
    address += 1024;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

void BM_StreamWriteFrameRandom(benchmark::State& state) {
  EncodeDecode(state, RandomBytes(1024));
}
BENCHMARK(BM_StreamWriteFrameRandom);

void BM_StreamWriteFrameAllFlags(benchmark::State& state) {
  EncodeDecode(state, std::vector<uint8_t>(1024, quorrel::kFlag));
}
BENCHMARK(BM_StreamWriteFrameAllFlags);

}  // namespace
