// Database access through the ODBC driver manager: one connection, one
// statement at a time, every column fetched as character text.
#ifndef KORVADEX_DB_ODBC_ACCESS_H_
#define KORVADEX_DB_ODBC_ACCESS_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/code_page.h"
#include "db/row_buffer.h"
#include "platform/odbc_headers.h"

namespace korvadex {

// Owns one ODBC handle and frees it when it goes; not copyable, movable.
class OdbcHandle {
 public:
  OdbcHandle() = default;
  explicit OdbcHandle(SQLSMALLINT type) : type_(type) {}
  ~OdbcHandle();
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;
  OdbcHandle(OdbcHandle&& other) noexcept;
  OdbcHandle& operator=(OdbcHandle&& other) noexcept;

  // Allocates a handle of this owner's type under `parent`; SQLAllocHandle's result.
  SQLRETURN Allocate(SQLHANDLE parent);
  // Frees the handle now and returns SQLFreeHandle's result; SQL_SUCCESS when none is held.
  SQLRETURN Free();
  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  bool isOpen() const { return handle_ != SQL_NULL_HANDLE; }

 private:
  SQLSMALLINT type_ = SQL_HANDLE_ENV;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// Owns the connection handle and disconnects before freeing it, so the server
// sees an orderly end when the process finishes.
class OdbcConnection {
 public:
  OdbcConnection() = default;
  ~OdbcConnection();
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  OdbcHandle handle{SQL_HANDLE_DBC};
  bool isConnected = false;
};

// What the driver and the database say they are (SQLGetInfo), for the run
// report; a value the driver does not give stays empty.
struct DriverInfo {
  std::string driverName;
  std::string driverVersion;
  std::string dbmsName;
  std::string dbmsVersion;
};

// One result column as the driver describes a prepared statement.
struct ColumnDescription {
  std::string name;
  int sqlType = 0;           // SQL_VARCHAR and the like
  std::uint64_t size = 0;    // declared size: characters for text, digits for numbers
};

// The module's state for the whole process; all empty until dbConnect.
struct DbState {
  OdbcHandle envHandle{SQL_HANDLE_ENV};          // declared first: freed last
  OdbcConnection connection;                     // lives until the process ends
  OdbcHandle statementHandle{SQL_HANDLE_STMT};   // open statement, or none
  std::mutex statementMutex;                     // held while the statement handle changes and by dbCancel
  SQLSMALLINT resultColumnCount = 0;             // columns of the open statement's result
  std::int32_t lastResult = 0;                   // latest ODBC result, WITH_INFO stored as 0
  bool columnsBound = false;                     // the open statement's columns are bound to workingRow
  RowBuffer workingRow{};                        // the bound slots; stable for the statement's life
  SQLLEN indicators[kMaxColumns] = {};           // per column, so NULL values can be told apart
  std::string diagnostics;                       // diagnostic records of the latest failure
  DriverInfo info;                               // filled by dbConnect
  bool canCancelFromAnyThread = true;            // the driver's SQLCancel may run beside its SQLExecDirect
  bool canCancelFetchFromAnyThread = true;       // ... and beside its SQLFetch
  int loginTimeoutSeconds = 0;                   // given to the driver by dbConnect; 0 none
  int queryTimeoutSeconds = 0;                   // given to the driver by dbExecute; 0 none
  CodePageEncoder encoder;                       // open: columns fetched as wide text and encoded into workingRow
  std::vector<std::uint16_t> wideRow;            // the bound wide slots, kWideSlotUnits each, while encoding
  int replacedChars[kMaxColumns] = {};           // of the latest row's values: characters written as '?'
};

// Connects to `dataSource`; 0 connected, -1 not connected. The texts are
// passed whole; the local copies handed to the driver are wiped afterwards.
std::int32_t dbConnect(DbState& db, const std::string& userName, const std::string& password,
                       const std::string& dataSource);

// Prepares `statementText` without executing it and describes its result
// columns: 0 described, -1 not prepared or not described (diagnostics kept).
std::int32_t dbDescribe(DbState& db, const std::string& statementText, std::vector<ColumnDescription>& columns);

// The name of an SQL data type as a job file's reader knows it ("VARCHAR").
std::string dbTypeName(int sqlType);

// Executes `statementText` directly. 0 executed (also when no statement handle
// could be allocated), -1 SQL_ERROR, any other SQLExecDirect code unchanged.
std::int32_t dbExecute(DbState& db, const std::string& statementText);

// Fetches the next row into `rowBuffer`: 0 a row, 100 no more rows, -1 no open
// statement, no result columns or SQL_ERROR, any other SQLFetch code unchanged.
// `columnCount` and `rowBuffer` are written only on 0. Columns beyond the 30th
// are not fetched.
std::int32_t dbFetch(DbState& db, std::int32_t& columnCount, RowBuffer& rowBuffer);

// dbFetch without the copy: `values` (kMaxColumns of them) point into the
// driver's buffers until the next fetch; a NULL, or a column the result does
// not have, is empty. A value may hold a NUL where the driver put one; it ends
// the value as the row buffer's text would. With `encoder` open the values
// are its code page's bytes, and `replacedChars` counts what it lacked; a
// driver that cannot deliver wide text fails the fetch.
std::int32_t dbFetchViews(DbState& db, std::int32_t& columnCount, std::string_view* values);

// Asks the driver to stop the statement that runs or is being read; the call
// working on it then fails. From another thread only where
// `canCancelFromAnyThread` (while the statement executes) and
// `canCancelFetchFromAnyThread` (while its rows are fetched) say the driver
// allows it. Does nothing when no statement is open.
void dbCancel(DbState& db);

// Frees the open statement and returns SQLFreeHandle's result, or `lastResult`
// when no statement is open.
std::int32_t dbCloseStatement(DbState& db);

}  // namespace korvadex

#endif  // KORVADEX_DB_ODBC_ACCESS_H_
