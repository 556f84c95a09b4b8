// The run's ODBC work in a process of its own, so that a driver that crashes
// ends only that process and the run can report it like any other failure.
#ifndef KORVADEX_DB_DRIVER_PROCESS_H_
#define KORVADEX_DB_DRIVER_PROCESS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace korvadex {

// What the driver process says about an executed statement.
struct ExecuteReport {
  std::int32_t status = 0;      // dbExecute's status
  int resultColumnCount = 0;    // columns of the result; 0 for an UPDATE and the like
  bool hasStatement = false;    // a statement handle could be had
  std::string diagnostics;      // diagnostic records of a failure
};

// One batch of rows as they cross from the driver process: per row, per
// requested column, one length byte and the value's bytes.
struct RowBatch {
  std::vector<char> bytes;
  std::uint32_t rowCount = 0;
};

// How reading the next batch ended.
enum class BatchResult {
  Rows,   // `batch` holds rows
  End,    // no more rows: `status` is the fetch's last status (100 at the end)
  Lost,   // the driver process ended without its final word
};

// The parent's side of the driver process. Calls come in the order of a
// run: Connect, Execute, then NextBatch until it gives End or Lost.
class DriverProcess {
 public:
  DriverProcess() = default;
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  // Starts the driver process, which connects at once with the credentials
  // it inherits; false when no process could be started (the run then uses
  // the driver in its own process). The process wipes its inherited copy of
  // `password` once connected; the caller wipes its own as soon as this returns.
  bool Start(const std::string& userName, std::string& password, const std::string& dataSource);

  // dbConnect's status from the driver process; -1 when it ended instead.
  std::int32_t AwaitConnect(std::string& diagnostics);

  // Executes `statement` there; rows will carry the values of `slots` (row
  // slot numbers), in that order. -1 in `report.status` when the process ended.
  void Execute(const std::string& statement, const std::vector<int>& slots, ExecuteReport& report);

  // Reads the next batch of rows or the end of the fetch.
  BatchResult NextBatch(RowBatch& batch, std::int32_t& status, std::string& diagnostics);

  // Asks the driver process to cancel the running statement. Any thread.
  void RequestCancel() const { child_.RequestCancel(); }

  // Ends the driver process at once, for one that ignores the cancel. Any thread.
  void Kill() const { child_.Kill(); }

  // Ends the driver process and tells how it ended, for the debug trace:
  // empty when it ended normally.
  std::string Finish();

 private:
  ChildProcess child_;
};

}  // namespace korvadex

#endif  // KORVADEX_DB_DRIVER_PROCESS_H_
