// The floor of the benchmark: connects, executes one statement, binds every
// column as character text and fetches every row, doing nothing else; then,
// when asked, writes a file of the download file's size and flushes it to
// disk, which no durable export of these rows can skip either.
#include <sql.h>
#include <sqlext.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace korvadex {
namespace {

constexpr int kSlotSize = 100;

void PrintDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {};
  SQLINTEGER nativeError = 0;
  SQLCHAR message[1024] = {};
  SQLSMALLINT length = 0;
  for (SQLSMALLINT record = 1;
       SQL_SUCCEEDED(SQLGetDiagRec(type, handle, record, state, &nativeError, message,
                                   sizeof message, &length));
       ++record) {
    std::fprintf(stderr, "odbc_floor: %s %s\n", reinterpret_cast<char*>(state),
                 reinterpret_cast<char*>(message));
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes `bytes` bytes to `path` in large blocks and flushes file and folder.
bool WriteDurably(const char* path, long long bytes) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> block(std::size_t{1} << 20, 'x');
  bool isWritten = true;
  for (long long left = bytes; left > 0 && isWritten;) {
    const auto size = static_cast<std::size_t>(left < static_cast<long long>(block.size()) ? left : block.size());
    isWritten = ::write(fd, block.data(), size) == static_cast<ssize_t>(size);
    left -= static_cast<long long>(size);
  }
  isWritten = isWritten && ::fsync(fd) == 0;
  ::close(fd);
  std::string folder = path;
  folder = folder.find('/') == std::string::npos ? "." : folder.substr(0, folder.rfind('/') + 1);
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return isWritten;
}

int Run(const char* dataSource, const char* user, const char* password, const char* statement,
        const char* outputPath, long long outputBytes) {
  const auto start = std::chrono::steady_clock::now();
  SQLHENV env = SQL_NULL_HANDLE;
  SQLHDBC dbc = SQL_NULL_HANDLE;
  SQLHSTMT stmt = SQL_NULL_HANDLE;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return 1;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) return 1;
  std::string source = dataSource, login = user, secret = password, text = statement;
  SQLRETURN rc = SQLConnect(dbc, reinterpret_cast<SQLCHAR*>(source.data()), SQL_NTS,
                            reinterpret_cast<SQLCHAR*>(login.data()), SQL_NTS,
                            reinterpret_cast<SQLCHAR*>(secret.data()), SQL_NTS);
  if (!SQL_SUCCEEDED(rc)) {
    PrintDiagnostics(SQL_HANDLE_DBC, dbc);
    return 1;
  }
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) return 1;
  rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  if (!SQL_SUCCEEDED(rc)) {
    PrintDiagnostics(SQL_HANDLE_STMT, stmt);
    return 1;
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  std::vector<char> slots(static_cast<std::size_t>(columns) * kSlotSize);
  std::vector<SQLLEN> indicators(static_cast<std::size_t>(columns));
  for (SQLSMALLINT i = 0; i < columns; ++i) {
    SQLBindCol(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, &slots[i * kSlotSize],
               kSlotSize, &indicators[i]);
  }
  long long rows = 0;
  while (SQL_SUCCEEDED(rc = SQLFetch(stmt))) ++rows;
  if (rc != SQL_NO_DATA) {
    PrintDiagnostics(SQL_HANDLE_STMT, stmt);
    return 1;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  const double fetchSeconds = SecondsSince(start);
  if (outputPath == nullptr) {
    std::fprintf(stderr, "odbc_floor: %lld rows\n", rows);
    return 0;
  }
  const auto writeStart = std::chrono::steady_clock::now();
  if (!WriteDurably(outputPath, outputBytes)) {
    std::perror("odbc_floor: write");
    return 1;
  }
  std::fprintf(stderr, "odbc_floor: %lld rows, fetch %.3f s, durable write %.3f s\n", rows, fetchSeconds,
               SecondsSince(writeStart));
  return 0;
}

}  // namespace
}  // namespace korvadex

int main(int argc, char** argv) {
  if (argc != 5 && argc != 7) {
    std::fprintf(stderr, "usage: odbc_floor DSN USER PASSWORD STATEMENT [OUTPUT_FILE BYTES]\n");
    return 2;
  }
  return korvadex::Run(argv[1], argv[2], argv[3], argv[4], argc == 7 ? argv[5] : nullptr,
                       argc == 7 ? std::atoll(argv[6]) : 0);
}
