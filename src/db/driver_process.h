// The run's ODBC work on a driver side of its own: in a child process, so that
// a driver that crashes ends only that process and the run can report it like
// any other failure, or on a thread where no process can be had.
#ifndef KORVADEX_DB_DRIVER_PROCESS_H_
#define KORVADEX_DB_DRIVER_PROCESS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/odbc_access.h"
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
// requested column, one length byte and the value's bytes. A length byte no
// value can have (values hold at most 99 bytes) marks a NULL, or says that
// a count of characters written as '?' and then the length byte follow.
inline constexpr unsigned char kNullValueMark = 0xFF;
inline constexpr unsigned char kReplacedCountMark = 0xFE;

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

// How describing a statement ended.
enum class DescribeResult {
  Described,     // the columns are filled
  NotDescribed,  // the driver could not prepare or describe it; its diagnostics say why
  Lost,          // the driver process ended without its answer
};

// The parent's side of the driver process. Calls come in the order of a
// run: Start, Connect, Execute, then NextBatch until it gives End or Lost.
class DriverProcess {
 public:
  DriverProcess() = default;
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  // Starts the driver side in a child process (`isProcessWanted`) or on a
  // thread of this one; false when it could not be started so.
  bool Start(bool isProcessWanted);

  // True when the driver side runs on a thread: no crash isolation.
  bool isThread() const { return child_.isThread(); }

  // For the debug trace: why no process could be had, or what was missing
  // for it; empty when all went as meant.
  const std::string& startNote() const { return child_.startNote(); }

  // Sends the connect details over the channel, never on a command line or
  // in the environment; the driver side wipes its copy once connected, and
  // this one wipes the message it sent. The caller wipes its own `password`.
  void Connect(const std::string& userName, const std::string& password, const std::string& dataSource);

  // dbConnect's status from the driver process; -1 when it ended instead.
  // Its diagnostics never quote the password (see ScrubSecret).
  std::int32_t AwaitConnect(std::string& diagnostics);

  // What the driver and database said they are, once connected.
  const DriverInfo& driverInfo() const { return info_; }

  // Prepares `statement` there without executing it and describes its
  // result columns; between AwaitConnect and Execute, any number of times.
  DescribeResult Describe(const std::string& statement, std::vector<ColumnDescription>& columns,
                          std::string& diagnostics);

  // Executes `statement` there; rows will carry the values of `slots` (row
  // slot numbers), in that order. -1 in `report.status` when the process ended.
  void Execute(const std::string& statement, const std::vector<int>& slots, ExecuteReport& report);

  // Reads the next batch of rows or the end of the fetch.
  BatchResult NextBatch(RowBatch& batch, std::int32_t& status, std::string& diagnostics);

  // Asks the driver process to cancel the running statement. Any thread; on
  // the thread the run's own stop request and cancel action serve instead.
  void RequestCancel() const { child_.RequestCancel(); }

  // Ends the driver process at once, for one that ignores the cancel. Any
  // thread; a thread cannot be ended so.
  void Kill() const { child_.Kill(); }

  // Ends the driver process and tells how it ended, for the debug trace:
  // empty when it ended normally, unless it was `isLost` without its final
  // word (a process killed from outside may leave exit code 0 on Windows).
  std::string Finish(bool isLost = false);

 private:
  ChildProcess child_;
  DriverInfo info_;
};

// The driver side: connects with the details that come first over `channel`,
// executes the statement that follows and streams its rows back in batches.
// Runs in the child process (`isOwnProcess`), where it also takes the parent's
// cancel requests, or on a thread of the run. Prints nothing; returns the
// process's exit code.
int RunDriverSide(int channel, bool isOwnProcess);

}  // namespace korvadex

#endif  // KORVADEX_DB_DRIVER_PROCESS_H_
