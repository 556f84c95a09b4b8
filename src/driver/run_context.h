// The state of one run of korvadex: built once by the driver, passed to the steps.
#ifndef KORVADEX_DRIVER_RUN_CONTEXT_H_
#define KORVADEX_DRIVER_RUN_CONTEXT_H_

#include <atomic>
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

  ProgressLine progress;        // the line on a person's terminal while rows are read and written
  DeadlineWatch deadline;       // ends the run at KORVADEX_CONNECT_TIMEOUT or KORVADEX_TIMEOUT, or a grace after a stop
  DownloadUndo undo;            // what the writer changed on disk and not yet kept; every way out takes it back
  std::atomic<bool> isEndClaimed{false};  // set by whichever way out prints the run's last lines
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_RUN_CONTEXT_H_
