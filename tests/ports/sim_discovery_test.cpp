// Discovery of the ports the virtual modem attaches through the registry.
#include <gtest/gtest.h>

#include "platform/scoped_root.h"
#include "ports/port_discovery.h"
#include "sim/in_process.h"

namespace quorrel {
namespace {

TEST(SimDiscoveryTest, FindsTheModemAndFollowsAPowerCycle) {
  testing::ScopedRoot root;
  VirtualClock clock;
  MemoryPorts ports;
  CQuorrelDoc doc(clock, ports);
  sim::InProcessModem modem(clock, ports, sim::ModemConfig{});
  EXPECT_EQ(DiscoverLinePorts(doc, 0), 0);
  modem.PlugIn();
  ASSERT_EQ(DiscoverLinePorts(doc, 0), 1);
  EXPECT_EQ(doc.line(0).settings.diagPort, modem.DiagPort());
  EXPECT_EQ(doc.line(0).settings.atPort, modem.DataPort());
  const int firstDiag = modem.DiagPort();

  modem.device().PowerCycle(2000);
  EXPECT_EQ(DiscoverLinePorts(doc, 0), 0);  // off the bus
  int polls = 0;
  while (DiscoverLinePorts(doc, 0) == 0 && polls++ < 10) clock.Sleep(1000);
  ASSERT_LT(polls, 10);
  EXPECT_NE(modem.DiagPort(), firstDiag);
  EXPECT_EQ(doc.line(0).settings.diagPort, modem.DiagPort());
  EXPECT_EQ(doc.line(0).settings.atPort, modem.DataPort());
}

}  // namespace
}  // namespace quorrel
