// A line that started a job stays with its modem: while that modem is away
// (re-enumerating, rebooting slowly) another modem attached meanwhile gets
// nothing, and the job goes on with its own modem once it is back.
#include <gtest/gtest.h>

#include "jobs/download_job.h"
#include "ports/port_discovery.h"
#include "support/sim_line.h"

namespace quorrel {
namespace {

using testsupport::SimLine;

// Line 1 finds the modem the way the port watch does, through discovery.
void PlugInAndDiscover(SimLine& s) {
  s.modem_->PlugIn();
  ASSERT_EQ(DiscoverLinePorts(s.doc_, 0), 1);
  LineJob& job = s.doc_.line(0);
  ASSERT_EQ(job.settings.diagPort, s.modem_->DiagPort());
  s.doc_.link(0).Port().Open(job.settings.diagPort, 115200, 8, 1);
  s.doc_.OpenAtPort(0, job.settings.atPort, 115200);
  job.phoneState = PhoneState::Answered;
}

TEST(BoundLine, AModemAttachedWhileTheLinesModemRebootsSlowlyGetsNothing) {
  sim::ModemConfig first;
  first.timings.reattachAfterMs = 90000;  // every restart takes a minute and a half
  SimLine s(first);
  PlugInAndDiscover(s);

  // The second modem is listed under a service that discovery reads after
  // the first one's: an unbound line would take it while the first is away.
  sim::ModemConfig second;
  second.seed = 77;
  second.esn = 0x12345678;
  second.vendor = "qc";
  second.firstDiagPort = 40;
  second.firstDataPort = 41;
  second.expectedProgrammer = s.ReleaseFile("armprg.bin");
  sim::InProcessModem other(s.clock_, s.ports_, second);
  bool plugged = false;
  s.form().onProgress = [&](int percent) {
    if (percent == 2 && !plugged) {
      plugged = true;
      other.PlugIn();
    }
  };

  ASSERT_TRUE(s.StartAndWait());
  EXPECT_EQ(s.controller().LastOutcome(0), JobOutcome::Succeeded);
  ASSERT_TRUE(plugged);

  // The other modem heard nothing and holds nothing of the job's.
  sim::VirtualModem& b = other.device();
  EXPECT_TRUE(b.Requests().empty()) << b.Requests().front().what;
  EXPECT_TRUE(b.NvWrites().empty());
  EXPECT_TRUE(b.Images().empty());
  EXPECT_EQ(b.Autorun(), 1);

  // The line's own modem got the release and its own items back.
  sim::VirtualModem& a = s.modem();
  EXPECT_EQ(a.ImageBytes(5), s.EmbeddedFile(164));
  testsupport::ExpectBackupInModem(a, testsupport::ReadNvBackup());
  // And the line is free again for whatever modem comes next.
  EXPECT_FALSE(s.doc_.line(0).Binding().Bound());
}

}  // namespace
}  // namespace quorrel
