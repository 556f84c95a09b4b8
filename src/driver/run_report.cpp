// The run report: its JSON (through nlohmann/json) and its atomic writing.
#include "driver/run_report.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <nlohmann/json.hpp>

#include "db/diagnostic_records.h"
#include "driver/run.h"
#include "output/record_format.h"
#include "platform/child_process.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/run_signals.h"

namespace korvadex {

namespace {

using nlohmann::ordered_json;

// The exit code 10 of the strict mode, which a code page setting brings.
constexpr int kExitStrictViolation = 10;

// UTC as RFC 3339 with milliseconds: "2026-12-10T13:40:02.123Z". The
// system clock counts Unix time, which is UTC.
std::string UtcText(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<milliseconds>(when - day)};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(time.hours().count()), static_cast<long long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()), static_cast<long long>(time.subseconds().count()));
  return text;
}

// Null for an empty text: "not known" rather than "known to be empty".
ordered_json TextOrNull(const std::string& text) { return text.empty() ? ordered_json() : ordered_json(text); }

// The diagnostic records, one object each; a line of the driver process's
// own (how it ended) has null for its SQLSTATE and native code.
ordered_json DiagnosticRecords(const std::string& diagnostics) {
  ordered_json records = ordered_json::array();
  for (const DiagnosticRecord& record : ParseDiagnostics(diagnostics)) {
    records.push_back({{"sqlstate", TextOrNull(record.sqlstate)},
                       {"native", record.native ? ordered_json(*record.native) : ordered_json()},
                       {"text", record.text}});
  }
  return records;
}

ordered_json Columns(const RunContext& context) {
  ordered_json columns = ordered_json::array();
  for (std::size_t i = 0; i < context.columns.size(); ++i) {
    const ColumnDef& column = context.columns[i];
    if (column.name.empty()) continue;
    const ColumnStats& stats = context.columnStats[i];
    columns.push_back({{"number", i + 1},
                       {"name", column.name},
                       {"type", column.type},
                       {"width", column.width},
                       {"cut", stats.cutValues},
                       {"replaced", stats.replacedChars},
                       {"nulls", stats.nullValues}});
  }
  return columns;
}

ordered_json Phases(const RunContext& context) {
  if (!context.progress.hasStarted()) return nullptr;
  const PhaseTimes& times = context.progress.phaseTimes();
  return {{"before_fetch_seconds", times.beforeFetch},
          {"fetch_seconds", times.fetching},
          {"sort_seconds", times.sorting},
          {"write_seconds", times.writing}};
}

ordered_json Stop(const DeadlineWatch& deadline) {
  ordered_json stop = {{"deadline", nullptr}, {"signal", nullptr}};
  std::string variable;
  int seconds = 0;
  std::string phase;
  if (StopSignal() == kDeadlineStop && deadline.PassedDeadline(variable, seconds, phase)) {
    stop["deadline"] = {{"variable", variable}, {"seconds", seconds}, {"phase", phase}};
  }
  if (StopSignal() > 0) {
    stop["signal"] = {{"number", StopSignal()}, {"name", std::string("SIG") + SignalName(StopSignal())}};
  }
  return stop;
}

}  // namespace

std::string ExitName(int exitCode) {
  switch (exitCode) {
    case kExitCompleted:
      return "completed";
    case kExitNoStatement:
      return "no_statement";
    case kExitConnectFailed:
      return "connect_failed";
    case kExitExecuteFailed:
      return "execute_failed";
    case kExitReadFailed:
      return "read_failed";
    case kExitWriteFailed:
      return "write_failed";
    case kExitOutputLost:
      return "output_lost";
    case kExitDeadline:
      return "deadline";
    case kExitStrictViolation:
      return "strict_violation";
    default:
      return exitCode > 128 ? "stopped" : "unknown";
  }
}

std::string ReadReportSetting() {
  const char* value = std::getenv("KORVADEX_REPORT");
  return value == nullptr ? std::string() : std::string(value);
}

namespace {

std::string FormatReport(const RunContext& context, const DeadlineWatch& deadline, int exitCode,
                         std::chrono::system_clock::time_point end) {
  const RecordLayout layout = MakeRecordLayout(context.columns);
  ordered_json report = {
      {"format", kRunReportFormat},
      {"tool", {{"name", "korvadex"}, {"version", KORVADEX_VERSION}}},
      {"start", UtcText(context.startTime)},
      {"end", UtcText(end)},
      {"exit", {{"code", exitCode}, {"name", ExitName(exitCode)}}},
      {"job",
       {{"section", context.sectionName},
        {"terminal", context.terminalName},
        {"target", context.targetFileName},
        {"replace", context.replaceFlag == 1},
        {"statement", TextOrNull(context.sqlStatement)},
        {"record_length", layout.length}}},
      {"output",
       {{"rows", context.writtenRows},
        {"bytes", context.writtenBytes},
        {"sha256", TextOrNull(context.writtenSha256)},
        {"spill_runs", context.spilledRuns},
        {"spill_bytes", context.spilledBytes}}},
      {"phases", Phases(context)},
      {"columns", Columns(context)},
      {"database",
       {{"data_source", TextOrNull(context.dataSource)},
        {"driver_name", TextOrNull(context.db.info.driverName)},
        {"driver_version", TextOrNull(context.db.info.driverVersion)},
        {"dbms_name", TextOrNull(context.db.info.dbmsName)},
        {"dbms_version", TextOrNull(context.db.info.dbmsVersion)}}},
      {"diagnostics", DiagnosticRecords(context.db.diagnostics)},
      {"stop", Stop(deadline)},
  };
  // A statement or a driver's message in a code page other than UTF-8 is
  // shown with replacement characters rather than refused.
  return report.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string FormatRunReport(const RunContext& context, int exitCode, std::chrono::system_clock::time_point end) {
  return FormatReport(context, context.deadline, exitCode, end);
}

bool WriteRunReport(const std::string& path, const std::string& text, std::string& error) {
  const std::string folder = FolderOf(path);
  std::string tempPath = JoinPath(folder, "." + FileNameOf(path) + ".XXXXXX");
  UniqueFd file(CreateUniqueFile(tempPath));
  if (!file.isOpen()) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  GiveNewFileMode(file.get());
  const bool isWritten = WriteAll(file.get(), text.data(), text.size()) && SyncFile(file.get()) && file.Close() &&
                         ReplaceFileAtomically(tempPath, path);
  if (!isWritten) {
    error = path + ": " + std::strerror(errno);
    file.Close();
    RemoveFile(tempPath);
    return false;
  }
  // A lost folder entry would bring the old report back after a crash.
  SyncFolder(folder);
  return true;
}

namespace {

// Writes the report of `context`, whose deadline watch is `deadline`.
void WriteReportOf(const RunContext& context, const DeadlineWatch& deadline, int exitCode) {
  std::string error;
  std::string text;
  try {
    text = FormatReport(context, deadline, exitCode, std::chrono::system_clock::now());
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  if (error.empty() && WriteRunReport(context.reportFile, text, error)) return;
  // No report of an earlier run may pass for this one's.
  RemoveFile(context.reportFile);
  if (context.debugMode) std::fprintf(stderr, "Laufbericht nicht geschrieben: %s\n", error.c_str());
}

}  // namespace

void FinishRunReport(const RunContext& context, int exitCode) {
  if (context.reportFile.empty()) return;
  WriteReportOf(context, context.deadline, exitCode);
}

void FinishForcedEndReport(const RunContext& context, int exitCode) {
  if (context.reportFile.empty()) return;
  // The run's own thread may be changing the rest of `context` under this
  // one; these fields were fixed before any other thread began.
  RunContext fixed;
  fixed.sectionName = context.sectionName;
  fixed.terminalName = context.terminalName;
  fixed.targetFileName = context.targetFileName;
  fixed.replaceFlag = context.replaceFlag;
  fixed.debugMode = context.debugMode;
  fixed.reportFile = context.reportFile;
  fixed.startTime = context.startTime;
  WriteReportOf(fixed, context.deadline, exitCode);
}

}  // namespace korvadex
