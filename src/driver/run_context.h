// The state of one run of korvadex: built once by the driver, passed to the steps.
#ifndef KORVADEX_DRIVER_RUN_CONTEXT_H_
#define KORVADEX_DRIVER_RUN_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "db/odbc_access.h"
#include "driver/deadline.h"
#include "driver/progress_line.h"
#include "jobdef/column_def.h"
#include "output/column_stats.h"
#include "output/download_undo.h"
#include "output/record_list.h"

namespace korvadex {

struct RunContext {
  std::string sectionName;      // first argument: the job's section in the job definition file
  std::string terminalName;     // second argument: replaces "$parm01" in the statement
  std::string targetFileName;   // third argument: the download file
  std::int16_t replaceFlag = 0; // fourth argument: 0 append, 1 replace
  int debugMode = 0;            // 1 when the fifth argument is /D (any letter case)

  std::string dataSource;       // credential DATABASE, kept only with 1 to 41 characters
  std::string userName;         // credential LOGIN
  std::string password;         // credential PASS; wiped once the connect has returned
  std::string dbSystem;         // credential DB_SYSTEM; selects the job definition file

  std::int32_t lastStatus = 0;  // result of the most recent step

  std::string sqlStatement;     // the assembled statement, terminal name substituted
  ColumnTable columns;          // output column definitions 01 to 30

  DbState db;                   // what the driver side reported: result columns, diagnostics
  std::string currentRecord;    // the record built from the current row

  std::unique_ptr<RecordList> records;  // the collected records; absent until the first
  std::int64_t recordCount = 0;         // rows fetched and formatted; printed at the end
  ColumnStatsTable columnStats;         // per job column: values cut, characters replaced, NULLs
  int codePage = 0;             // KORVADEX_CODEPAGE: the records' code page; 0 the driver's bytes
  bool isStrict = false;        // KORVADEX_STRICT=1: a cut or replaced value fails the run

  ProgressLine progress;        // the line on a person's terminal while rows are read and written
  DeadlineWatch deadline;       // ends the run at KORVADEX_CONNECT_TIMEOUT or KORVADEX_TIMEOUT, or a grace after a stop
  DownloadUndo undo;            // what the writer changed on disk and not yet kept; every way out takes it back
  std::atomic<bool> isEndClaimed{false};  // set by whichever way out prints the run's last lines

  std::string reportFile;       // KORVADEX_REPORT: where the run report goes; empty for none
  std::chrono::system_clock::time_point startTime;  // when the arguments were accepted
  std::uint64_t spilledRuns = 0;   // kept from the records for the report once they are given back
  std::uint64_t spilledBytes = 0;
  std::int64_t writtenRows = 0;    // records this run put into the file; 0 unless it was written
  std::uint64_t writtenBytes = 0;  // their bytes
  std::string writtenSha256;       // their SHA-256 in hex; empty unless written and hashed
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_RUN_CONTEXT_H_
