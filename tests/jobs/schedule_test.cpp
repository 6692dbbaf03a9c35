#include "jobs/schedule.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/recording_display.h"
#include "lines/document.h"
#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "util/text.h"

namespace quorrel {
namespace {

constexpr int kDiag = 3;
constexpr int kAt = 4;

// What happened, in order, each with its virtual time.
using Trace = std::vector<std::string>;

class TracingPorts : public SerialDevices {
 public:
  TracingPorts(MemoryPorts& inner, Clock& clock, Trace& trace)
      : inner_(inner), clock_(clock), trace_(trace) {}
  std::unique_ptr<SerialDevice> Open(int port, int baud, int dataBits, int stopBits) override {
    trace_.push_back(Format("%llu open %s", static_cast<unsigned long long>(clock_.NowMs()),
                            port == kDiag ? "diag" : "at"));
    return inner_.Open(port, baud, dataBits, stopBits);
  }

 private:
  MemoryPorts& inner_;
  Clock& clock_;
  Trace& trace_;
};

class TracingDisplay : public RecordingDisplay {
 public:
  TracingDisplay(Clock& clock, Trace& trace) : clock_(clock), trace_(trace) {}
  void SetProgress(int line, int percent) override {
    trace_.push_back(
        Format("%llu progress %d", static_cast<unsigned long long>(clock_.NowMs()), percent));
    RecordingDisplay::SetProgress(line, percent);
  }

 private:
  Clock& clock_;
  Trace& trace_;
};

struct Bench {
  VirtualClock clock;
  Trace trace;
  MemoryPorts memory;
  TracingPorts ports{memory, clock, trace};
  CQuorrelDoc doc{clock, ports};
  TracingDisplay display{clock, trace};
  JobEnvironment env{doc, display, {}, {}, {}, std::nullopt, {}};

  Bench() {
    memory.Attach(kDiag, std::make_shared<MemoryWire>(clock));
    memory.Attach(kAt, std::make_shared<MemoryWire>(clock));
    doc.line(0).settings.diagPort = kDiag;
    doc.line(0).settings.atPort = kAt;
  }
  void Note(const char* what) {
    trace.push_back(Format("%llu %s", static_cast<unsigned long long>(clock.NowMs()), what));
  }
};

TEST(Schedule, RunnerCarriesOutAnyTable) {
  struct Case {
    const char* name;
    Schedule schedule;
    int failures;     // tries that fail before one succeeds
    int giveUpAfter;  // failed tries after which the give-up check answers true; 0: never
    bool result;
    Trace trace;
  };
  const Schedule twoTries{{.tries = 2}};
  // clang-format off
  const Case cases[] = {
      {"the first try succeeds after the lead",
       Schedule{{.then = {.pauseMs = 500}}, {}}.Lead(50), 0, 0, true,
       {"50 try", "50 after 1"}},
      {"a failure is followed by its pause, reopen, settle and progress",
       Schedule{{.then = {.pauseMs = 100, .reopen = Reopen::Diag, .settleMs = 200, .progress = 4}}, {}},
       1, 0, true,
       {"0 try", "0 after 1", "100 open diag", "300 progress 4", "300 try", "300 after 2"}},
      {"the AT port is reopened",
       Schedule{{.then = {.reopen = Reopen::At}}, {}}, 1, 0, true,
       {"0 try", "0 after 1", "0 open at", "0 try", "0 after 2"}},
      {"what follows the last failure is done before the schedule fails",
       Evenly(2, 1000), 5, 0, false,
       {"0 try", "0 after 1", "1000 try", "1000 after 2"}},
      {"a failed last try that is ignored",
       twoTries.IgnoringLastFailure(), 5, 0, true,
       {"0 try", "0 after 1", "0 try", "0 after 2"}},
      {"pauses before and after each try, the successful one too",
       Schedule{{.tries = 3, .beforeMs = 10, .afterMs = 1000}}, 1, 0, true,
       {"10 try", "1010 after 1", "1020 try", "2020 after 2"}},
      {"steps follow each other",
       Schedule{{.then = {.pauseMs = 7}}, {.tries = 2, .beforeMs = 3}}, 5, 0, false,
       {"0 try", "0 after 1", "10 try", "10 after 2", "13 try", "13 after 3"}},
      {"giving up skips what follows the failure",
       Evenly(5, 100), 5, 2, false,
       {"0 try", "0 after 1", "100 try", "100 after 2"}},
      {"giving up is asked after the last failure too",
       twoTries.IgnoringLastFailure(), 5, 2, false,
       {"0 try", "0 after 1", "0 try", "0 after 2"}},
      {"no bound: tries until one succeeds",
       Schedule{{.tries = kUntilDone, .beforeMs = 1}}, 3, 0, true,
       {"1 try", "1 after 1", "2 try", "2 after 2", "3 try", "3 after 3", "4 try", "4 after 4"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b;
    int failed = 0;
    const bool result =
        RunSchedule(b.env, 0, c.schedule,
                    [&] {
                      b.Note("try");
                      if (failed < c.failures) {
                        ++failed;
                        return false;
                      }
                      return true;
                    },
                    {.giveUp = [&] { return c.giveUpAfter > 0 && failed >= c.giveUpAfter; },
                     .afterTry = [&](int tries) { b.Note(Format("after %d", tries).c_str()); }});
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(b.trace, c.trace);
  }
}

TEST(Schedule, HoldsOneToEightSteps) {
  EXPECT_THROW(Schedule({}), std::length_error);
  EXPECT_THROW(Schedule({{}, {}, {}, {}, {}, {}, {}, {}, {}}), std::length_error);
}

}  // namespace
}  // namespace quorrel
