// The run report (KORVADEX_REPORT): one JSON object, written whole at the
// end of a run, that tells a scheduler or the file's reader what the run did.
#ifndef KORVADEX_DRIVER_RUN_REPORT_H_
#define KORVADEX_DRIVER_RUN_REPORT_H_

#include <chrono>
#include <string>

#include "driver/run_context.h"

namespace korvadex {

// The report's format number; a reader checks it before anything else. It
// rises only when a field changes its meaning or goes; new fields keep it.
inline constexpr int kRunReportFormat = 1;

// The stable name of an exit code, as the report gives it ("completed").
std::string ExitName(int exitCode);

// The report's file from KORVADEX_REPORT; empty when none is asked for.
std::string ReadReportSetting();

// The report's text for the run in `context` that ends with `exitCode` at
// `end`: pretty-printed JSON with a final line feed. Never a password, and
// nothing that a driver quoted of one (it was masked on the driver side).
std::string FormatRunReport(const RunContext& context, int exitCode, std::chrono::system_clock::time_point end);

// Writes `text` to `path` whole or not at all: a new file in the same folder,
// synced, renamed over whatever had the name. False with `error` (the system's
// reason) when it could not; an older report may then still be there.
bool WriteRunReport(const std::string& path, const std::string& text, std::string& error);

// The report for the run ending now with `exitCode`, when one is asked for.
// A report that cannot be written leaves the exit code as it is and says so
// in the /D trace (on standard error: job scripts read standard output).
void FinishRunReport(const RunContext& context, int exitCode);

// The report for a run that a second stop or the grace ends at once, from
// another thread than the run's: the command line, the start, the end and
// how it ended, and no rows, since the undo has taken back what was written.
void FinishForcedEndReport(const RunContext& context, int exitCode);

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_RUN_REPORT_H_
