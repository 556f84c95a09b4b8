// Database access through the ODBC driver manager.
#include "db/odbc_access.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "credentials/blowfish.h"

namespace korvadex {

namespace {

// Driver-manager return codes are 16-bit; the statuses of this module keep their sign.
std::int32_t Widen(SQLRETURN rc) { return static_cast<std::int32_t>(rc); }

// Collects the diagnostic records of `handle` for the debug trace. Called before
// the handle is freed, since its records go with it.
std::string CollectDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  if (handle == SQL_NULL_HANDLE) return text;
  for (SQLSMALLINT record = 1; record <= 20; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT messageLength = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &nativeError, message,
                                 sizeof message, &messageLength);
    if (!SQL_SUCCEEDED(rc)) break;
    char line[1200];
    std::snprintf(line, sizeof line, "ODBC-Diagnose: SQLSTATE %s, nativer Code %d: %s\n",
                  reinterpret_cast<const char*>(state), static_cast<int>(nativeError),
                  reinterpret_cast<const char*>(message));
    text += line;
  }
  return text;
}

// A writable, NUL-terminated copy for the driver manager's non-const arguments.
std::vector<SQLCHAR> MutableCopy(const std::string& text) {
  std::vector<SQLCHAR> copy(text.size() + 1, 0);
  std::memcpy(copy.data(), text.data(), text.size());
  return copy;
}

SQLRETURN FreeStatement(DbState& db) {
  std::lock_guard<std::mutex> lock(db.statementMutex);
  return db.statementHandle.Free();
}

void CloseStatementQuietly(DbState& db) {
  FreeStatement(db);
  db.columnsBound = false;
}

std::string ConnectionInfo(SQLHDBC connection, SQLUSMALLINT item) {
  SQLCHAR value[256] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(connection, item, value, sizeof value, &length))) return {};
  return reinterpret_cast<const char*>(value);
}

}  // namespace

OdbcHandle::~OdbcHandle() { Free(); }

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, SQLHANDLE{})) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
  if (this != &other) {
    Free();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, SQLHANDLE{});
  }
  return *this;
}

SQLRETURN OdbcHandle::Allocate(SQLHANDLE parent) {
  Free();
  SQLHANDLE fresh = SQL_NULL_HANDLE;
  SQLRETURN rc = SQLAllocHandle(type_, parent, &fresh);
  if (rc != SQL_ERROR) handle_ = fresh;
  return rc;
}

SQLRETURN OdbcHandle::Free() {
  if (handle_ == SQL_NULL_HANDLE) return SQL_SUCCESS;
  SQLRETURN rc = SQLFreeHandle(type_, handle_);
  handle_ = SQL_NULL_HANDLE;
  return rc;
}

OdbcConnection::~OdbcConnection() {
  if (isConnected) SQLDisconnect(handle.get());
}

std::int32_t dbConnect(DbState& db, const std::string& userName, const std::string& password,
                       const std::string& dataSource) {
  db.diagnostics.clear();
  if (db.envHandle.Allocate(SQL_NULL_HANDLE) == SQL_ERROR) return -1;
  // Declaring ODBC 3 cannot meaningfully fail on a fresh environment.
  SQLSetEnvAttr(db.envHandle.get(), SQL_ATTR_ODBC_VERSION,
                reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(SQL_OV_ODBC3)), SQL_IS_INTEGER);
  if (db.connection.handle.Allocate(db.envHandle.get()) == SQL_ERROR) {
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_ENV, db.envHandle.get());
    return -1;
  }

  // A driver that ignores the attribute is still held to the run's deadline.
  if (db.loginTimeoutSeconds > 0) {
    SQLSetConnectAttr(db.connection.handle.get(), SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(db.loginTimeoutSeconds)), SQL_IS_UINTEGER);
  }
  std::vector<SQLCHAR> source = MutableCopy(dataSource);
  std::vector<SQLCHAR> user = MutableCopy(userName);
  std::vector<SQLCHAR> secret = MutableCopy(password);
  SQLRETURN rc = SQLConnect(db.connection.handle.get(), source.data(), SQL_NTS, user.data(),
                            SQL_NTS, secret.data(), SQL_NTS);
  WipeMemory(secret.data(), secret.size());
  if (rc == SQL_ERROR) {
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_DBC, db.connection.handle.get());
    return -1;
  }
  // SQL_SUCCESS_WITH_INFO and any other code count as connected.
  db.connection.isConnected = true;
  // The SQLite driver's SQLCancel also closes the statement, which races with
  // a fetch running on another thread. Its database lives in this process, so
  // its statement ends with the run anyway; only a server needs the cancel.
  SQLHDBC connection = db.connection.handle.get();
  db.info.driverName = ConnectionInfo(connection, SQL_DRIVER_NAME);
  db.info.driverVersion = ConnectionInfo(connection, SQL_DRIVER_VER);
  db.info.dbmsName = ConnectionInfo(connection, SQL_DBMS_NAME);
  db.info.dbmsVersion = ConnectionInfo(connection, SQL_DBMS_VER);
  if (!db.info.driverName.empty()) {
    std::string name = db.info.driverName;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    db.canCancelFromAnyThread = name.find("sqlite") == std::string::npos;
    // MariaDB's and MySQL's connectors stop a running execute with a KILL
    // QUERY from a second connection, but between calls their SQLCancel
    // closes the statement and frees the result that a fetch on another
    // thread is reading (unixODBC lets SQLCancel past its locks below
    // Threading=3, and 0 is its default and what Debian registers).
    const bool isMySqlFamily = name.find("maodbc") != std::string::npos || name.find("myodbc") != std::string::npos;
    db.canCancelFetchFromAnyThread = db.canCancelFromAnyThread && !isMySqlFamily;
  }
  return 0;
}

std::int32_t dbDescribe(DbState& db, const std::string& statementText, std::vector<ColumnDescription>& columns) {
  db.diagnostics.clear();
  columns.clear();
  CloseStatementQuietly(db);
  {
    std::lock_guard<std::mutex> lock(db.statementMutex);
    if (db.statementHandle.Allocate(db.connection.handle.get()) == SQL_ERROR) {
      db.diagnostics = CollectDiagnostics(SQL_HANDLE_DBC, db.connection.handle.get());
      return -1;
    }
  }
  SQLHSTMT statement = db.statementHandle.get();
  std::vector<SQLCHAR> text = MutableCopy(statementText);
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLPrepare(statement, text.data(), SQL_NTS)) ||
      !SQL_SUCCEEDED(SQLNumResultCols(statement, &count))) {
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_STMT, statement);
    CloseStatementQuietly(db);
    return -1;
  }
  for (SQLUSMALLINT number = 1; number <= static_cast<SQLUSMALLINT>(count); ++number) {
    SQLCHAR name[256] = {};
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    if (!SQL_SUCCEEDED(SQLDescribeCol(statement, number, name, sizeof name, &nameLength, &type, &size, &digits,
                                      &nullable))) {
      db.diagnostics = CollectDiagnostics(SQL_HANDLE_STMT, statement);
      CloseStatementQuietly(db);
      return -1;
    }
    columns.push_back({reinterpret_cast<const char*>(name), type, static_cast<std::uint64_t>(size)});
  }
  // Never executed: the statement goes with its handle.
  CloseStatementQuietly(db);
  return 0;
}

std::string dbTypeName(int sqlType) {
  switch (sqlType) {
    case SQL_CHAR: return "CHAR";
    case SQL_VARCHAR: return "VARCHAR";
    case SQL_LONGVARCHAR: return "LONGVARCHAR";
    case SQL_WCHAR: return "WCHAR";
    case SQL_WVARCHAR: return "WVARCHAR";
    case SQL_WLONGVARCHAR: return "WLONGVARCHAR";
    case SQL_DECIMAL: return "DECIMAL";
    case SQL_NUMERIC: return "NUMERIC";
    case SQL_SMALLINT: return "SMALLINT";
    case SQL_INTEGER: return "INTEGER";
    case SQL_REAL: return "REAL";
    case SQL_FLOAT: return "FLOAT";
    case SQL_DOUBLE: return "DOUBLE";
    case SQL_BIT: return "BIT";
    case SQL_TINYINT: return "TINYINT";
    case SQL_BIGINT: return "BIGINT";
    case SQL_BINARY: return "BINARY";
    case SQL_VARBINARY: return "VARBINARY";
    case SQL_LONGVARBINARY: return "LONGVARBINARY";
    case SQL_TYPE_DATE: return "DATE";
    case SQL_TYPE_TIME: return "TIME";
    case SQL_TYPE_TIMESTAMP: return "TIMESTAMP";
    case SQL_GUID: return "GUID";
    default: return "TYPE " + std::to_string(sqlType);
  }
}

std::int32_t dbExecute(DbState& db, const std::string& statementText) {
  db.diagnostics.clear();
  db.resultColumnCount = 0;
  CloseStatementQuietly(db);
  SQLRETURN allocated = SQL_ERROR;
  {
    std::lock_guard<std::mutex> lock(db.statementMutex);
    allocated = db.statementHandle.Allocate(db.connection.handle.get());
  }
  if (allocated == SQL_ERROR) {
    // The next dbFetch reports the missing statement as -1.
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_DBC, db.connection.handle.get());
    return 0;
  }
  SQLHSTMT statement = db.statementHandle.get();
  // Drivers answer these differently (psqlODBC refuses the scrollability
  // attribute and downgrades the lock concurrency); either way the statement
  // still runs forward-only, so the results are not looked at.
  SQLSetStmtAttr(statement, SQL_ATTR_CURSOR_SCROLLABLE,
                 reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_NONSCROLLABLE)),
                 SQL_IS_INTEGER);
  SQLSetStmtAttr(statement, SQL_ATTR_CONCURRENCY,
                 reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_CONCUR_LOCK)),
                 SQL_IS_INTEGER);
  // Ends the statement on the server even when the process that sent it
  // can no longer cancel it.
  if (db.queryTimeoutSeconds > 0) {
    SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(db.queryTimeoutSeconds)), SQL_IS_UINTEGER);
  }

  std::vector<SQLCHAR> statementBuffer = MutableCopy(statementText);
  SQLRETURN rc = SQLExecDirect(statement, statementBuffer.data(), SQL_NTS);
  db.lastResult = Widen(rc);
  if (rc == SQL_ERROR) {
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_STMT, statement);
    CloseStatementQuietly(db);
    return -1;
  }
  if (rc == SQL_SUCCESS_WITH_INFO) db.lastResult = 0;
  if (db.lastResult != 0) return db.lastResult;
  SQLNumResultCols(statement, &db.resultColumnCount);
  return 0;
}

namespace {

static_assert(sizeof(SQLWCHAR) == 2, "SQLWCHAR is UTF-16 on unixODBC and on Windows");

// Binds every column as wide text into `wideRow`; false, with the driver's
// diagnostics, when the driver refuses a column so.
bool BindWide(DbState& db, SQLHSTMT statement, int boundColumns) {
  db.wideRow.assign(static_cast<std::size_t>(boundColumns) * kWideSlotUnits, 0);
  for (int i = 0; i < boundColumns; ++i) {
    SQLRETURN rc = SQLBindCol(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR,
                              db.wideRow.data() + static_cast<std::size_t>(i) * kWideSlotUnits,
                              static_cast<SQLLEN>(kWideSlotUnits * sizeof(SQLWCHAR)), &db.indicators[i]);
    db.lastResult = Widen(rc);
    if (rc == SQL_ERROR) return false;
  }
  return true;
}

// The wide values of the fetched row encoded into the working row's slots.
void EncodeWideRow(DbState& db, int boundColumns, std::string_view* values) {
  for (int i = 0; i < boundColumns; ++i) {
    db.replacedChars[i] = 0;
    if (db.indicators[i] == SQL_NULL_DATA) {
      values[i] = std::string_view();
      continue;
    }
    // The value ends at its terminator, whatever length the driver reports:
    // MariaDB's Connector/ODBC 3.1 counts some values one character short.
    const std::uint16_t* units = db.wideRow.data() + static_cast<std::size_t>(i) * kWideSlotUnits;
    char* slot = db.workingRow.slots[i];
    values[i] = std::string_view(slot, db.encoder.Encode(units, kWideSlotUnits - 1, slot, db.replacedChars[i]));
  }
}

// For the debug trace of a driver that cannot deliver wide text.
void NoteNoWideText(DbState& db) {
  if (db.diagnostics.find("SQLSTATE 07006") == std::string::npos) return;
  db.diagnostics +=
      "KORVADEX_CODEPAGE: der Treiber liefert keinen Unicode-Text (SQL_C_WCHAR); PostgreSQL braucht den "
      "Unicode-Treiber von psqlODBC (psqlodbcw, \"PostgreSQL Unicode\")\n";
}

}  // namespace

std::int32_t dbFetchViews(DbState& db, std::int32_t& columnCount, std::string_view* values) {
  if (!db.statementHandle.isOpen() || db.resultColumnCount <= 0) return -1;
  SQLHSTMT statement = db.statementHandle.get();
  const int boundColumns = db.resultColumnCount < kMaxColumns ? db.resultColumnCount : kMaxColumns;
  const bool isWide = db.encoder.isOpen();
  // The slots keep their addresses for the statement's life, so binding once is
  // the same as binding anew before every fetch, without the per-row cost.
  if (!db.columnsBound) {
    if (isWide && !BindWide(db, statement, boundColumns)) {
      // Narrow bytes in place of the wide text asked for would be another file.
      db.diagnostics = CollectDiagnostics(SQL_HANDLE_STMT, statement);
      NoteNoWideText(db);
      CloseStatementQuietly(db);
      return -1;
    }
    for (int i = 0; !isWide && i < boundColumns; ++i) {
      SQLRETURN rc = SQLBindCol(statement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR,
                                db.workingRow.slots[i], kSlotSize, &db.indicators[i]);
      db.lastResult = Widen(rc);
    }
    db.columnsBound = true;
  }

  SQLRETURN rc = SQLFetch(statement);
  db.lastResult = rc == SQL_SUCCESS_WITH_INFO ? 0 : Widen(rc);
  if (db.lastResult == 0 && isWide) {
    EncodeWideRow(db, boundColumns, values);
  } else if (db.lastResult == 0) {
    for (int i = 0; i < boundColumns; ++i) {
      if (db.indicators[i] == SQL_NULL_DATA) {
        values[i] = std::string_view();
        continue;
      }
      const char* source = db.workingRow.slots[i];
      // The indicator already holds the length, unless the value was cut or the
      // driver could not tell; only then, or when the terminator is not where
      // the driver said, is the slot measured.
      const SQLLEN reported = db.indicators[i];
      const std::size_t length = reported >= 0 && reported < kSlotSize && source[reported] == '\0'
                                     ? static_cast<std::size_t>(reported)
                                     : strnlen(source, kSlotSize - 1);
      values[i] = std::string_view(source, length);
    }
  }
  if (db.lastResult == 0) {
    for (int i = boundColumns; i < kMaxColumns; ++i) values[i] = std::string_view();
    columnCount = db.resultColumnCount;
    return 0;
  }
  if (rc == SQL_ERROR) {
    db.diagnostics = CollectDiagnostics(SQL_HANDLE_STMT, statement);
    if (isWide) NoteNoWideText(db);
    CloseStatementQuietly(db);
    return -1;
  }
  return db.lastResult;
}

std::int32_t dbFetch(DbState& db, std::int32_t& columnCount, RowBuffer& rowBuffer) {
  std::string_view values[kMaxColumns];
  const std::int32_t status = dbFetchViews(db, columnCount, values);
  if (status != 0) return status;
  for (int i = 0; i < kMaxColumns; ++i) {
    char* target = rowBuffer.slots[i];
    if (!values[i].empty()) std::memcpy(target, values[i].data(), values[i].size());
    target[values[i].size()] = '\0';
  }
  return 0;
}

void dbCancel(DbState& db) {
  std::lock_guard<std::mutex> lock(db.statementMutex);
  // The driver manager lets SQLCancel past its locks for this very use: from
  // another thread while the statement's own call is still running.
  if (db.statementHandle.isOpen()) SQLCancel(db.statementHandle.get());
}

std::int32_t dbCloseStatement(DbState& db) {
  if (!db.statementHandle.isOpen()) return db.lastResult;
  SQLRETURN rc = FreeStatement(db);
  db.columnsBound = false;
  db.lastResult = Widen(rc);
  return db.lastResult;
}

}  // namespace korvadex
