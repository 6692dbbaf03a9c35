// What every job command of quorrel-cli sets up before its first job (the
// clock, the trace, the one-instance lock, the document, the release and the
// NV folder) and what it keeps after each job (the record).
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/form_model.h"
#include "app/job_record.h"
#include "app/line_record.h"
#include "cli/cli_options.h"
#include "cli/trace.h"
#include "jobs/job_environment.h"
#include "lines/document.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/user_folders.h"

namespace quorrel::cli {

struct Session {
  std::unique_ptr<Clock> clock;
  double timeScale = 1.0;  // what a job-clock time is in real time
  std::FILE* traceFile = nullptr;
  std::unique_ptr<TracingSerialDevices> tracer;
  SerialDevices* devices = nullptr;
  std::unique_ptr<NamedMutex> mutex;
  std::unique_ptr<CQuorrelDoc> doc;
  ProgramFolders folders;
  std::string startup;   // the current folder at the start
  bool embedded = true;  // the embedded release, written out by this run
};

// The clock, the trace, the one-instance lock (a second program or station
// is refused) and the document. nullopt when all is set, else the exit code
// (the reason printed).
std::optional<int> OpenSession(const Options& o, Session& s);

// The release (written out, or the folder given), the NV folder, the default
// NV file and the NV option, for every line. nullopt when all is set, else
// the exit code.
std::optional<int> PrepareLines(const Options& o, Session& s, FormModel& display,
                                JobEnvironment& env);

// Drops one trailing separator, as the folder choosers do.
std::string Folder(std::string dir);

}  // namespace quorrel::cli
