// The run driver: command line, banner and usage, and the fixed sequence of
// steps from the credentials to the count line.
#include "driver/run.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include "credentials/blowfish.h"
#include "credentials/credential_reader.h"
#include "db/driver_process.h"
#include "db/odbc_access.h"
#include "driver/deadline.h"
#include "driver/memory_setting.h"
#include "driver/run_report.h"
#include "db/text_settings.h"
#include "jobdef/job_definition.h"
#include "output/column_trace.h"
#include "output/download_writer.h"
#include "output/record_format.h"
#include "output/record_list.h"
#include "platform/arguments.h"
#include "platform/case_path.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/run_signals.h"

namespace korvadex {

namespace {

constexpr int kNoMoreRows = 100;
constexpr std::size_t kMaxDataSourceLength = 41;

void PrintArgumentError(const char* message) {
  PrintBanner();
  std::printf("%s", message);
  std::printf("\n");
  PrintUsage();
}

// Copies a decrypted value out of the reader's entry and wipes the entry's copy.
std::string TakeValue(CredentialEntry& entry) {
  std::string value = entry.value;
  WipeMemory(entry.value.data(), entry.value.size());
  return value;
}

void WipeString(std::string& text) {
  WipeMemory(text.data(), text.size());
  text.clear();
}

void PrintDiagnostics(const RunContext& context) {
  if (context.debugMode && !context.db.diagnostics.empty()) {
    std::printf("%s", context.db.diagnostics.c_str());
  }
}

// How the row loop ended.
enum class RowsOutcome {
  Complete,     // every row is held
  NoResultSet,  // the statement executed but gives no rows to read (an UPDATE)
  ReadFailed,   // the driver reported an error; the message is printed
  NotHeld,      // a record found no memory or spill room
  Stopped,      // a stop signal came
  Strict,       // KORVADEX_STRICT: a value would have been cut or a character replaced
};

// Where a strict run met its first changed value.
struct StrictStop {
  int column = 0;               // job column number; 0 while none was met
  std::int64_t row = 0;         // row number in fetch order
  const char* what = "";        // what happened to the value
};

// Reports how the row loop ended: the read error's message, and which outcome.
RowsOutcome EndRows(RunContext& context, std::int32_t fetchStatus, bool isHeld, bool hasResultSet,
                    const StrictStop& strict) {
  if (StopSignal() != 0) return RowsOutcome::Stopped;
  if (strict.column != 0) return RowsOutcome::Strict;
  if (!isHeld) return RowsOutcome::NotHeld;
  if (fetchStatus == kNoMoreRows) return RowsOutcome::Complete;
  // The message has no line end: the progress line's next clear would wipe it.
  context.progress.Stop();
  std::printf("Fehler Lesen in Leseschleife %d", fetchStatus);
  if (context.debugMode && !context.db.diagnostics.empty()) std::printf("\n");
  PrintDiagnostics(context);
  return hasResultSet ? RowsOutcome::ReadFailed : RowsOutcome::NoResultSet;
}

// Builds the current record with `format` and adds it to the list; false
// when either finds no memory.
template <typename Format>
bool FormatAndAdd(RunContext& context, const Format& format) {
  try {
    format();
  } catch (const std::bad_alloc&) {
    return false;
  }
  return AddRecord(context.records, context.currentRecord) == 1;
}

// Formats and stores the rows of one batch from the driver process, counting
// NULLs, replaced characters and cuts into `context.columnStats`; false when a
// record could not be held, the batch is malformed, or a strict run met a
// changed value (then `strict` says where).
bool StoreBatch(const RowBatch& batch, const RecordLayout& layout, std::string_view* values,
                RunContext& context, StrictStop& strict) {
  const char* in = batch.bytes.data() + 4;
  const char* const end = batch.bytes.data() + batch.bytes.size();
  for (std::uint32_t row = 0; row < batch.rowCount; ++row) {
    for (int i = 0; i < layout.count; ++i) {
      if (in == end) return false;
      ColumnStats& stats = context.columnStats[static_cast<std::size_t>(layout.slots[i])];
      auto length = static_cast<unsigned char>(*in++);
      if (length == kNullValueMark) {
        // The record shows a NULL as the empty value, as it always has.
        ++stats.nullValues;
        values[i] = std::string_view();
        continue;
      }
      if (length == kReplacedCountMark) {
        if (end - in < 2) return false;
        stats.replacedChars += static_cast<unsigned char>(*in++);
        length = static_cast<unsigned char>(*in++);
        if (context.isStrict && strict.column == 0) {
          strict = {layout.slots[i] + 1, context.recordCount + 1, "Zeichen ersetzt"};
        }
      }
      if (static_cast<std::size_t>(end - in) < length) return false;
      values[i] = std::string_view(in, length);
      in += length;
    }
    int cut = -1;
    if (!FormatAndAdd(context, [&] {
          cut = FormatValues(layout, values, context.currentRecord, &context.columnStats);
        })) {
      return false;
    }
    if (context.isStrict && strict.column == 0 && cut >= 0) {
      strict = {layout.slots[cut] + 1, context.recordCount + 1, "Wert gekuerzt"};
    }
    // The rest of the batch is not looked at: the run writes nothing anyway.
    if (strict.column != 0) return false;
    ++context.recordCount;
  }
  context.progress.SetRows(context.recordCount);
  return true;
}

// Collects the rows that the driver side fetches, formatting and storing
// them while it fetches on.
RowsOutcome CollectRows(DriverProcess& driver, RunContext& context, bool hasResultSet) {
  RecordLayout layout = MakeRecordLayout(context.columns);
  layout.isUtf8 = context.codePage == kUtf8CodePage;
  std::string_view values[kMaxColumns];
  StrictStop strict;
  RowBatch batch;
  std::int32_t fetchStatus = 0;
  BatchResult result = BatchResult::Rows;
  bool isHeld = true;
  while (isHeld && (result = driver.NextBatch(batch, fetchStatus, context.db.diagnostics)) == BatchResult::Rows) {
    isHeld = StoreBatch(batch, layout, values, context, strict);
  }
  // A driver that died mid-fetch is a read error like any other; its
  // diagnostics say how it ended.
  if (result == BatchResult::Lost) fetchStatus = -1;
  // A run that cannot hold its records stops the fetch rather than wait for it.
  if (!isHeld) driver.RequestCancel();
  driver.Finish();
  if (strict.column != 0 && context.debugMode) {
    std::fprintf(stderr, "korvadex: KORVADEX_STRICT: Spalte %02d %s, Satz %lld: %s\n", strict.column,
                 context.columns[static_cast<std::size_t>(strict.column - 1)].name.c_str(),
                 static_cast<long long>(strict.row), strict.what);
  }
  return EndRows(context, fetchStatus, isHeld, hasResultSet, strict);
}

// Says in the debug trace where the driver runs when not in a process of
// its own, or what its process had to do without.
void StartDriverNote(const DriverProcess& driver, const RunContext& context) {
  if (!context.debugMode) return;
  if (driver.isThread()) {
    std::printf("ODBC-Treiber ohne eigenen Prozess (%s)\n", driver.startNote().c_str());
  } else if (!driver.startNote().empty()) {
    std::printf("ODBC-Treiberprozess: %s\n", driver.startNote().c_str());
  }
}

void PrintCountLine(const RunContext& context, std::int64_t recordCount) {
  std::printf("%lld Saetze kopiert in Datei %s \n", static_cast<long long>(recordCount),
              PathAsText(context.targetFileName).c_str());
}

void PrintDeadline(const RunContext& context) {
  std::printf("Zeitlimit ueberschritten \n");
  if (context.debugMode) std::printf("%s", context.deadline.TraceLine().c_str());
}

// Claims the run's last lines for the caller; false when a forced end
// claimed them first.
bool ClaimEnd(RunContext& context) { return !context.isEndClaimed.exchange(true); }

// The last line of every run that got as far as the statement, after the
// deadline's message when a deadline ended a run that wrote nothing.
void PrintCount(RunContext& context, bool isFileWritten = false) {
  // First, so that a forced end the watch has begun finishes before the claim.
  context.deadline.Stop();
  if (!ClaimEnd(context)) {
    // A forced end is printing them and ends the process next.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  context.progress.Stop();
  if (StopSignal() == kDeadlineStop && !isFileWritten) {
    context.recordCount = 0;
    PrintDeadline(context);
    PrintDiagnostics(context);
  }
  PrintCountLine(context, context.recordCount);
}

// Ends the run at once, on whichever thread found that it must: a second
// stop signal, a signal after a deadline, the watch at the end of a grace
// (a driver thread that does not answer its cancel, a run blocked in its own
// work). What the run changed on disk is taken back first, without waiting
// for the driver; spill files vanish with the process. The last lines are
// printed unless the run printed them itself.
[[noreturn]] void EndNow(RunContext& context) {
  context.undo.UndoAll();
  const int stop = StopSignal();
  const bool isEndOurs = ClaimEnd(context);
  if (isEndOurs) {
    if (stop == kDeadlineStop) PrintDeadline(context);
    PrintCountLine(context, 0);
  }
  const int exitCode = stop > 0 ? 128 + stop : kExitDeadline;
  // A run that got to its last lines itself is writing its own report.
  if (isEndOurs) FinishForcedEndReport(context, exitCode);
  std::_Exit(exitCode);
}

// Points the stop listener (the watch's grace) and the forced end at this
// run for the object's life, and clears the cancel action with them.
// Declared after what the actions use, so they are cleared before it goes
// (a console handler may outlive the run).
class RunStopActions {
 public:
  explicit RunStopActions(RunContext& context) {
    SetStopListener([&context] { context.deadline.NoteStop(); });
    SetForcedEndAction([&context] { EndNow(context); });
  }
  ~RunStopActions() {
    SetCancelAction({});
    SetStopListener({});
    SetForcedEndAction({});
  }
  RunStopActions(const RunStopActions&) = delete;
  RunStopActions& operator=(const RunStopActions&) = delete;
};

// Starts the watch over the deadlines and the grace after a stop: a driver
// process that does not answer the cancel is killed; a driver thread, which
// cannot be ended apart from the run, and a run that does not end by itself
// end through the forced end.
void StartDeadlineWatch(const DriverProcess& driver, RunContext& context) {
  std::string unreadSettings;
  const DeadlineSettings deadlines = ReadDeadlineSettings(unreadSettings);
  if (context.debugMode) std::printf("%s", unreadSettings.c_str());
  std::function<void()> endDriver;
  if (!driver.isThread()) endDriver = [&driver] { driver.Kill(); };
  context.deadline.Start(deadlines, std::move(endDriver), [] { ForceEnd(); });
}

// The exit code for a run whose own work ended with `exitCode`, as FinishRun explains.
int FinalExitCode(int exitCode, bool isFileWritten) {
  if (StopSignal() == kDeadlineStop && !isFileWritten) return kExitDeadline;
  if (StopSignal() != 0 && !isFileWritten) return 128 + StopSignal();
  const bool isOutputLost = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (exitCode == kExitCompleted && isOutputLost) return kExitOutputLost;
  return exitCode;
}

// Chooses the exit code once the run's own work is done: a signal or a
// deadline first (whichever came first), unless it came when the file was
// already written and there was nothing left to stop; then the run's failure;
// and only a run that succeeded is spoiled by lost output.
int FinishRun(RunContext& context, int exitCode, bool isFileWritten = false) {
  context.deadline.Stop();
  context.progress.Stop();
  // Standard error, so that the trace on standard output stays as it was.
  if (context.debugMode && context.progress.hasStarted()) {
    std::fputs(FormatPhaseTimes(context.progress.phaseTimes()).c_str(), stderr);
  }
  if (context.records) {
    context.spilledRuns = context.records->spillRunCount();
    context.spilledBytes = context.records->progress().spilledBytes.load();
    if (isFileWritten) {
      context.writtenRows = context.recordCount;
      context.writtenBytes = context.records->byteCount();
      context.writtenSha256 = context.records->emittedSha256();
    }
  }
  if (context.debugMode) std::fputs(FormatColumnStats(context.columns, context.columnStats).c_str(), stderr);
  FreeRecordList(context.records);
  const int finalCode = FinalExitCode(exitCode, isFileWritten);
  FinishRunReport(context, finalCode);
  return finalCode;
}

}  // namespace

void PrintBanner() {
  std::printf("\n");
  std::printf("******************************************************\n");
  std::printf("** Projekt     : KASTROVIN                          **\n");
  std::printf("** Tool        : KORVADEX                           **\n");
  std::printf("** Beschreibung:  Ausfuehren einer SQL-Anweisung    **\n");
  std::printf("**                und erstellen einer Downloaddatei **\n");
  std::printf("**                aus den Resultierenden Daten      **\n");
  std::printf("******************************************************\n");
  std::printf("\n");
}

void PrintUsage() {
  std::printf("Befehlsformat: \n");
  std::printf("KORVADEX.EXE Sektionsname Terminalname Zieldatei 0/1 \n");
  std::printf("\n");
  std::printf("Sektionsname : Name der Sektion in der Ini-Datei     \n");
  std::printf("Terminalname : Parameter fuer das SQL-Statement      \n");
  std::printf("Zieldatei    : Dateiname der Ausgabedatei            \n");
  std::printf("RepaceFlag   : 0= Anhaengen, 1= Ersetzen             \n");
  std::printf("\n");
  std::printf("Beispiel:\n");
  std::printf("KORVADEX.EXE VOLTIRAP ZutCtrl voltirap.txt 1\n");
  std::printf("\n");
}

std::string& UpperCase(std::string& text) {
  for (std::size_t i = text.size(); i > 0; --i) {
    text[i - 1] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i - 1])));
  }
  return text;
}

int ParseArguments(int argc, const char* const* argv, RunContext& context) {
  if (argc < 5) {
    PrintArgumentError("Falsche Anzahl Parameter\n");
    return 1;
  }
  const std::string flag = argv[4];
  if (flag != "0" && flag != "1") {
    PrintArgumentError("Falsches ReplaceFlag, erlaubt: '0' oder '1'\n");
    return 2;
  }
  context.sectionName = argv[1];
  context.terminalName = argv[2];
  // Text for the job file and the statement, never another section or other
  // SQL than the one given (Windows: the ANSI code page must hold it).
  if (!ArgumentAsText(context.sectionName)) {
    PrintArgumentError("Falscher Sektionsname, erlaubt: Zeichen der ANSI-Codepage\n");
    return 1;
  }
  if (!ArgumentAsText(context.terminalName)) {
    PrintArgumentError("Falscher Terminalname, erlaubt: Zeichen der ANSI-Codepage\n");
    return 1;
  }
  context.targetFileName = argv[3];
  context.replaceFlag = static_cast<std::int16_t>(flag == "1" ? 1 : 0);
  context.debugMode = 0;
  if (argc > 5) {
    std::string option = argv[5];
    if (UpperCase(option) == "/D") {
      context.debugMode = 1;
      std::printf(" Aktiviert Debugger\n");
    }
  }
  return 0;
}

void ReadCredentials(RunContext& context, const std::string& credentialPath) {
  CredentialEntry entry = ReadCredential("", "DATABASE", 0, credentialPath);
  std::string dataSource = TakeValue(entry);
  if (!dataSource.empty() && dataSource.size() <= kMaxDataSourceLength) {
    context.dataSource = dataSource;
  }
  entry = ReadCredential("", "LOGIN", 0, credentialPath);
  context.userName = TakeValue(entry);
  entry = ReadCredential("", "PASS", 0, credentialPath);
  context.password = TakeValue(entry);
  entry = ReadCredential("", "DB_SYSTEM", 0, credentialPath);
  context.dbSystem = TakeValue(entry);
}

int RunMain(int argc, const char* const* argv) {
  PrepareStandardStreams();
  // Each message reaches its reader at once, so what was printed survives
  // whatever ends the run later.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  RunContext context;
  context.lastStatus = ParseArguments(argc, argv, context);
  if (context.lastStatus != 0) return context.lastStatus;
  context.startTime = std::chrono::system_clock::now();
  // The report of an earlier run goes at once: while this one runs, and if
  // it ends where no report can be written, none can pass for its own.
  context.reportFile = ReadReportSetting();
  if (!context.reportFile.empty()) RemoveFile(context.reportFile);

  // The driver runs in a process of its own, started before any thread of
  // this one, so that its crash ends only that process, and before the
  // credentials are read, so that it never holds a copy it did not get over
  // its channel. Where no process can be had the driver runs on a thread,
  // started after the signal watch has blocked the stop signals for every
  // later thread.
  DriverProcess driver;
  RunStopActions stopActions(context);
  const bool isDriverApart = driver.Start(true);
  SignalWatch signalWatch;
  signalWatch.Start();
  if (!isDriverApart) driver.Start(false);
  StartDriverNote(driver, context);
  StartDeadlineWatch(driver, context);

  ReadCredentials(context, ResolvePathCase(ToNativePath(kCredentialFile)));
  driver.Connect(context.userName, context.password, context.dataSource);
  WipeString(context.password);
  SetCancelAction([&driver] { driver.RequestCancel(); });
  context.lastStatus = driver.AwaitConnect(context.db.diagnostics);
  context.db.info = driver.driverInfo();
  // A connect that a deadline or a stop cut short (the driver process ended
  // for not answering) is reported as that.
  if (context.lastStatus != 0 && StopSignal() == 0) {
    std::printf("dbConnect_Status: %d\n", context.lastStatus);
    PrintDiagnostics(context);
    return FinishRun(context, kExitConnectFailed);
  }
  if (StopSignal() != 0) {
    PrintCount(context);
    return FinishRun(context, kExitCompleted);
  }

  context.deadline.SetPhase(DeadlinePhase::Execute);
  ResetColumnValues(context.columns);
  context.recordCount = 0;
  context.lastStatus = GetIniValues(context.sectionName, context.dbSystem, context.terminalName,
                                    context.debugMode, context.sqlStatement, context.columns);
  if (context.lastStatus != 0) return FinishRun(context, context.lastStatus);

  context.recordCount = 0;
  std::string unreadSettings;
  context.codePage = ReadCodePageSetting(unreadSettings);
  context.isStrict = ReadStrictSetting(unreadSettings);
  if (context.debugMode) std::printf("%s", unreadSettings.c_str());
  DbState& db = context.db;
  const RecordLayout layout = MakeRecordLayout(context.columns);
  ExecuteReport report;
  driver.Execute(context.sqlStatement, std::vector<int>(layout.slots, layout.slots + layout.count), report);
  context.lastStatus = report.status;
  db.resultColumnCount = static_cast<SQLSMALLINT>(report.resultColumnCount);
  db.diagnostics = report.diagnostics;
  const bool hasStatement = report.hasStatement;
  if (StopSignal() != 0) {
    PrintCount(context);
    return FinishRun(context, kExitCompleted);
  }
  if (context.lastStatus != 0) {
    PrintDiagnostics(context);
    PrintCount(context);
    // SQL_NO_DATA: a statement that changes rows and found none to change.
    return FinishRun(context, context.lastStatus == kNoMoreRows ? kExitCompleted : kExitExecuteFailed);
  }

  // Records that outgrow memory go to disk beside the target, where the
  // download file itself will need room anyway, rather than to a small /tmp.
  context.records = std::make_unique<RecordList>();
  context.records->spillFolder = FolderOf(context.targetFileName);
  context.records->requestedBudget = ReadMemorySetting(context.debugMode);
  if (!context.reportFile.empty()) context.records->HashEmitted();
  const bool hasResultSet = db.resultColumnCount > 0;
  // The debug trace is the person's view of a /D run; the line would cut into it.
  context.progress.Start(&context.records->progress(), context.debugMode == 0);
  context.deadline.SetPhase(DeadlinePhase::Fetch);
  const RowsOutcome rows = CollectRows(driver, context, hasResultSet);
  SetCancelAction({});
  context.progress.SetRows(context.recordCount);
  context.progress.SetPhase(RunPhase::Sorting);
  context.deadline.SetPhase(DeadlinePhase::Sort);
  if (!hasStatement && rows != RowsOutcome::Stopped) {
    // No statement could be had; the fetch reported it as before, but nothing ran.
    PrintCount(context);
    return FinishRun(context, kExitExecuteFailed);
  }
  if (rows != RowsOutcome::Complete) {
    // Nothing is written unless every row is held: a partial file replacing a
    // complete one, or a partial block appended, would pass for a good run.
    context.recordCount = 0;
    context.progress.Stop();
    if (rows == RowsOutcome::NotHeld) std::printf("Ausgabedatei konnte nicht geschrieben \n");
    if (rows == RowsOutcome::Strict) std::printf("Werte gekuerzt oder ersetzt, nichts geschrieben \n");
    PrintCount(context);
    switch (rows) {
      case RowsOutcome::ReadFailed:
        return FinishRun(context, kExitReadFailed);
      case RowsOutcome::NotHeld:
        return FinishRun(context, kExitWriteFailed);
      case RowsOutcome::Strict:
        return FinishRun(context, kExitStrictCut);
      default:
        return FinishRun(context, kExitCompleted);
    }
  }

  int exitCode = kExitCompleted;
  if (context.recordCount != 0) {
    // What the spill left of the sort is done before the target is opened
    // or locked, so that no other run waits on the lock for it.
    PrepareSortedEmission(*context.records);
    context.progress.SetPhase(RunPhase::Writing);
    context.deadline.SetPhase(DeadlinePhase::Write);
    context.lastStatus = WriteFile(context.records, context.targetFileName, context.replaceFlag,
                                   context.debugMode, context.undo, [&context] { context.progress.Stop(); });
    // Nothing counts as copied when the file could not be written.
    if (context.lastStatus != 0) {
      context.recordCount = 0;
      exitCode = kExitWriteFailed;
    }
  }
  PrintCount(context, context.recordCount != 0);
  return FinishRun(context, exitCode, context.recordCount != 0);
}

}  // namespace korvadex
