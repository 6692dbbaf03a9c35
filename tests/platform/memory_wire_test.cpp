#include "platform/memory_wire.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/serial_port.h"

namespace quorrel {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> ReadAll(SerialPort& port) {
  std::vector<uint8_t> buffer(4096);
  int n = port.Read(buffer.data(), static_cast<int>(buffer.size()));
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

// A host SerialPort on port 3, wired to a far end the test plays.
class MemoryWireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_.Attach(3, wire_);
    ASSERT_EQ(port_.Open(3, 115200, 8, 1), 1);
  }

  VirtualClock clock_;
  std::shared_ptr<MemoryWire> wire_ = std::make_shared<MemoryWire>(clock_);
  MemoryPorts ports_;
  SerialPort port_{ports_};
};

TEST_F(MemoryWireTest, BytesBecomeQueuedAtTheTimeTheyArrive) {
  clock_.Advance(1000);
  wire_->SendToHost(Bytes({1, 2, 3, 4, 5}), 100);
  clock_.Advance(99);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(std::vector<uint8_t>(8).data(), 8), 0);
  clock_.Advance(1);
  EXPECT_EQ(port_.BytesQueued(), 5);
  EXPECT_EQ(ReadAll(port_), Bytes({1, 2, 3, 4, 5}));
  EXPECT_EQ(port_.BytesQueued(), 0);
}

TEST_F(MemoryWireTest, PiecesTrickleInAtTheirIntervals) {
  std::vector<uint8_t> reply(10);
  std::iota(reply.begin(), reply.end(), 0);
  wire_->SendToHostInPieces(reply, 4, 10, 5);
  struct Sample {
    uint64_t at;
    int queued;
  };
  for (Sample s : {Sample{9, 0}, Sample{10, 4}, Sample{14, 4}, Sample{15, 8}, Sample{20, 10},
                   Sample{100, 10}}) {
    clock_.Advance(s.at - clock_.NowMs());
    EXPECT_EQ(port_.BytesQueued(), s.queued) << "at " << s.at;
  }
  EXPECT_EQ(ReadAll(port_), reply);
}

TEST_F(MemoryWireTest, LaterBytesNeverOvertakeEarlierOnes) {
  wire_->SendToHost(Bytes({1, 2}), 50);
  wire_->SendToHost(Bytes({3}), 0);  // would arrive first; waits for the others
  EXPECT_EQ(port_.BytesQueued(), 0);
  clock_.Advance(50);
  EXPECT_EQ(ReadAll(port_), Bytes({1, 2, 3}));
}

TEST_F(MemoryWireTest, ReadTakesAtMostWhatHasArrived) {
  wire_->SendToHost(Bytes({1, 2, 3, 4}), 0);
  wire_->SendToHost(Bytes({5, 6, 7, 8}), 30);
  std::vector<uint8_t> buffer(100, 0xEE);
  EXPECT_EQ(port_.Read(buffer.data(), 3), 3);
  EXPECT_EQ(port_.Read(buffer.data() + 3, 97), 1);
  EXPECT_EQ(buffer[4], 0xEE);  // nothing written past what was read
  clock_.Advance(30);
  EXPECT_EQ(ReadAll(port_), Bytes({5, 6, 7, 8}));
}

TEST_F(MemoryWireTest, WritePurgesOnlyArrivedInputAndWriteKeepInputNone) {
  std::vector<std::vector<uint8_t>> received;
  wire_->SetReceiver(
      [&](std::span<const uint8_t> block) { received.emplace_back(block.begin(), block.end()); });
  wire_->SendToHost(Bytes({1, 2, 3}), 0);
  wire_->SendToHost(Bytes({4, 5, 6}), 100);

  EXPECT_EQ(port_.WriteKeepInput(Bytes({0xA}).data(), 1), 1);
  EXPECT_EQ(port_.BytesQueued(), 3);
  EXPECT_EQ(port_.Write(Bytes({0xB, 0xC}).data(), 2), 2);
  EXPECT_EQ(port_.BytesQueued(), 0);  // the arrived reply is gone
  clock_.Advance(100);
  EXPECT_EQ(ReadAll(port_), Bytes({4, 5, 6}));  // what was still on its way is not

  EXPECT_EQ(received, (std::vector<std::vector<uint8_t>>{Bytes({0xA}), Bytes({0xB, 0xC})}));
  EXPECT_EQ(wire_->HostWritten(), Bytes({0xA, 0xB, 0xC}));
}

TEST_F(MemoryWireTest, PortOpensExclusively) {
  EXPECT_TRUE(wire_->HostOpen());
  SerialPort second(ports_);
  EXPECT_EQ(second.Open(3, 115200, 8, 1), 0);
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_FALSE(wire_->HostOpen());
  EXPECT_EQ(second.Open(3, 115200, 8, 1), 1);
  EXPECT_EQ(port_.Open(3, 115200, 8, 1), 0);
}

TEST_F(MemoryWireTest, ClosedPortNeitherReadsNorWrites) {
  wire_->SendToHost(Bytes({1, 2}), 0);
  port_.Close();
  EXPECT_EQ(port_.Close(), 1);
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(std::vector<uint8_t>(8).data(), 8), 0);
  EXPECT_EQ(port_.Write(Bytes({1}).data(), 1), 0);
  EXPECT_TRUE(wire_->HostWritten().empty());
}

TEST_F(MemoryWireTest, UnpluggedWireFailsForGood) {
  wire_->SendToHost(Bytes({1, 2}), 0);
  wire_->Unplug();
  EXPECT_TRUE(wire_->Unplugged());
  EXPECT_EQ(port_.Write(Bytes({1}).data(), 1), 0);
  EXPECT_EQ(port_.WriteKeepInput(Bytes({1}).data(), 1), 0);
  EXPECT_EQ(port_.BytesQueued(), 0);
  wire_->SendToHost(Bytes({3}), 0);  // lost: nobody is at the other end
  EXPECT_EQ(port_.BytesQueued(), 0);
  EXPECT_EQ(port_.Read(std::vector<uint8_t>(8).data(), 8), 0);
  port_.Close();
  EXPECT_EQ(port_.Open(3, 115200, 8, 1), 0);
}

TEST(MemoryPorts, AttachAndDetachDecideWhatOpens) {
  VirtualClock clock;
  MemoryPorts ports;
  SerialPort port(ports);
  EXPECT_EQ(port.Open(7, 115200, 8, 1), 0);  // nothing attached

  auto first = std::make_shared<MemoryWire>(clock);
  ports.Attach(7, first);
  EXPECT_EQ(ports.Wire(7), first);
  EXPECT_EQ(ports.Wire(8), nullptr);
  ASSERT_EQ(port.Open(7, 115200, 8, 1), 1);
  EXPECT_EQ(port.PortNumber(), 7);

  // Detaching pulls the cable of the open port.
  ports.Detach(7);
  ports.Detach(7);  // twice: harmless
  EXPECT_TRUE(first->Unplugged());
  EXPECT_EQ(ports.Wire(7), nullptr);
  EXPECT_EQ(port.Write(Bytes({1}).data(), 1), 0);
  port.Close();
  EXPECT_EQ(port.Open(7, 115200, 8, 1), 0);

  // A new device on the same number is a new wire.
  auto second = std::make_shared<MemoryWire>(clock);
  ports.Attach(7, second);
  ASSERT_EQ(port.Open(7, 115200, 8, 1), 1);
  EXPECT_EQ(port.Write(Bytes({9}).data(), 1), 1);
  EXPECT_EQ(second->HostWritten(), Bytes({9}));
  EXPECT_TRUE(first->HostWritten().empty());
}

TEST(MemoryPorts, SetDevicesClosesThePortAndSwitchesSource) {
  VirtualClock clock;
  MemoryPorts a;
  MemoryPorts b;
  auto wire_a = std::make_shared<MemoryWire>(clock);
  auto wire_b = std::make_shared<MemoryWire>(clock);
  a.Attach(1, wire_a);
  b.Attach(1, wire_b);
  SerialPort port(a);
  ASSERT_EQ(port.Open(1, 115200, 8, 1), 1);
  port.SetDevices(b);
  EXPECT_EQ(port.IsOpen(), 0);
  EXPECT_FALSE(wire_a->HostOpen());
  ASSERT_EQ(port.Open(1, 115200, 8, 1), 1);
  EXPECT_TRUE(wire_b->HostOpen());
}

}  // namespace
}  // namespace quorrel
