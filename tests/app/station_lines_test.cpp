// A station keeps a modem's line through the restart after its job, and
// frees it once the modem is gone.
#include <gtest/gtest.h>

#include "app/form_model.h"
#include "app/line_controller.h"
#include "lines/document.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"

namespace quorrel {
namespace {

TEST(StationLines, AModemKeepsItsLineThroughItsRestartAndLosesItOnceGone) {
  const struct Case {
    const char* name;
    int awayLooks;       // looks that find the modem away
    int awayAgainLooks;  // after a look that finds it back: away again
    bool otherModem;     // another modem (another serial) in its place
    bool keepsLine;
  } cases[] = {
      {"restarting", 10, 0, false, true},
      {"restarting twice", 50, 50, false, true},
      {"unplugged for two minutes", 120, 0, false, false},
      {"another modem in its place", 1, 0, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    MemoryPorts ports;
    CQuorrelDoc doc(clock, ports);
    FormModel form(doc, ".");
    bool present = false;
    JobEnvironment env = StandardJobEnvironment(doc, form);
    env.discoverLinePorts = [&](int line) {
      if (c.otherModem) doc.line(line).SetPlace(ModemPlace{"1-1.2", "SERIAL2", "SERIAL2"});
      return present;
    };
    LineController controller(env, LineHooks{});
    controller.ServeAsStation();
    // The binding the line's last job left.
    doc.line(1).SetBinding(ModemBinding{"1-1.2", "SERIAL1", std::nullopt});
    auto look = [&] { (void)controller.env().discoverLinePorts(1); };
    for (int i = 0; i < c.awayLooks; ++i) look();
    if (c.awayAgainLooks > 0) {
      present = true;
      look();
      present = false;
      for (int i = 0; i < c.awayAgainLooks; ++i) look();
    }
    EXPECT_EQ(doc.line(1).Binding().Bound(), c.keepsLine);
    EXPECT_FALSE(doc.line(0).Binding().Bound());
  }
}

}  // namespace
}  // namespace quorrel
