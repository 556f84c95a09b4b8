// The run's ODBC work on a driver side of its own: that side, which connects,
// executes and fetches, and the parent's, which reads its answers. The same
// messages cross whether the driver side is a child process or a thread.
#include "db/driver_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "credentials/blowfish.h"
#include "credentials/secret_scrub.h"
#include "db/deadline_settings.h"
#include "db/odbc_access.h"
#include "db/row_buffer.h"
#include "db/text_settings.h"
#include "platform/file_io.h"
#include "platform/run_signals.h"

namespace korvadex {

namespace {

// Every message is one type byte, a 32-bit length and that many bytes.
enum MessageType : char {
  kConnect = 'L',    // parent: user name, password, data source, each a 32-bit length and its bytes
  kConnected = 'C',  // child: status, diagnostics
  kExecute = 'X',    // parent: slot count, slots, statement
  kExecuted = 'E',   // child: status, result columns, has statement, diagnostics
  kRows = 'R',       // child: row count, packed rows
  kFetchEnd = 'F',   // child: last fetch status, diagnostics
  kDriverInfo = 'I', // child, right after a successful 'C': driver name and version, DBMS name and version
  kDescribe = 'D',   // parent, instead of 'X' and any number of times: a statement to prepare only
  kDescribed = 'P',  // child: status, column count, per column name, type and size, then diagnostics
};

constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
constexpr std::size_t kHeaderBytes = 5;

void PutU32(std::vector<char>& out, std::uint32_t value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  out.insert(out.end(), bytes, bytes + 4);
}

std::uint32_t GetU32(const char* in) {
  std::uint32_t value = 0;
  std::memcpy(&value, in, 4);
  return value;
}

// A message under construction; its header is filled in by Send.
std::vector<char> NewMessage(MessageType type) {
  std::vector<char> message(kHeaderBytes, 0);
  message[0] = type;
  return message;
}

// Sends the first `size` bytes of `message` as the whole message.
bool Send(int socket, std::vector<char>& message, std::size_t size) {
  const auto length = static_cast<std::uint32_t>(size - kHeaderBytes);
  std::memcpy(message.data() + 1, &length, 4);
  return WriteAll(socket, message.data(), size);
}

bool Send(int socket, std::vector<char>& message) { return Send(socket, message, message.size()); }

// Reads one message; false at the end of input (the other side is gone).
bool Receive(int socket, char& type, std::vector<char>& payload) {
  char header[kHeaderBytes];
  if (!ReadExactly(socket, header, kHeaderBytes)) return false;
  type = header[0];
  payload.resize(GetU32(header + 1));
  return payload.empty() || ReadExactly(socket, payload.data(), payload.size());
}

void PutText(std::vector<char>& out, const std::string& text) {
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

// Takes the text at `at` of `in` and moves `at` past it; false when it runs over the end.
bool TakeText(const std::vector<char>& in, std::size_t& at, std::string& text) {
  if (in.size() - at < 4) return false;
  const std::uint32_t length = GetU32(in.data() + at);
  at += 4;
  if (in.size() - at < length) return false;
  text.assign(in.data() + at, length);
  at += length;
  return true;
}

void WipeText(std::string& text) { WipeMemory(text.data(), text.size()); }

// Reads the connect details, the first message of every run; false when
// they do not come. The message's bytes are wiped either way.
bool ReceiveConnectDetails(int socket, std::string& userName, std::string& password, std::string& dataSource) {
  char type = 0;
  std::vector<char> message;
  std::size_t at = 0;
  const bool isRead = Receive(socket, type, message) && type == kConnect && TakeText(message, at, userName) &&
                      TakeText(message, at, password) && TakeText(message, at, dataSource);
  WipeMemory(message.data(), message.size());
  return isRead;
}

bool SendStatus(int socket, MessageType type, std::int32_t status, const std::string& diagnostics) {
  std::vector<char> message = NewMessage(type);
  PutU32(message, static_cast<std::uint32_t>(status));
  message.insert(message.end(), diagnostics.begin(), diagnostics.end());
  return Send(socket, message);
}

// Fetches every row and sends them in batches, then the fetch's last status.
// The values go from the driver's buffers straight into the batch.
void FetchAndSend(int socket, DbState& db, const std::vector<int>& slots) {
  // A value's length byte and bytes, and room for a replacement count.
  const std::size_t maxRowBytes = slots.size() * (kSlotSize + 2);
  std::string_view values[kMaxColumns];
  std::int32_t columnCount = 0;
  std::int32_t status = 0;
  std::vector<char> batch = NewMessage(kRows);
  PutU32(batch, 0);
  const std::size_t emptyBatch = batch.size();
  std::uint32_t rowCount = 0;
  // Written through a pointer within the reserved room: a row never
  // crosses the end, since a full batch is sent before the next row.
  batch.resize(kBatchBytes + maxRowBytes);
  std::size_t used = emptyBatch;
  auto send = [&] {
    std::memcpy(batch.data() + kHeaderBytes, &rowCount, 4);
    const bool isSent = Send(socket, batch, used);
    used = emptyBatch;
    rowCount = 0;
    return isSent;
  };
  for (;;) {
    if (StopSignal() != 0) {
      dbCancel(db);
      status = -1;
      break;
    }
    status = dbFetchViews(db, columnCount, values);
    if (status != 0) break;
    char* out = batch.data() + used;
    for (int slot : slots) {
      if (slot < columnCount && db.indicators[slot] == SQL_NULL_DATA) {
        *out++ = static_cast<char>(kNullValueMark);
        continue;
      }
      if (db.replacedChars[slot] > 0) {
        *out++ = static_cast<char>(kReplacedCountMark);
        *out++ = static_cast<char>(db.replacedChars[slot]);
      }
      const std::string_view value = values[slot];
      // A NUL the driver left in a value ends it, as in the row buffer's text.
      const std::size_t length = value.empty() ? 0 : strnlen(value.data(), value.size());
      *out++ = static_cast<char>(length);
      if (length > 0) std::memcpy(out, value.data(), length);
      out += length;
    }
    used = static_cast<std::size_t>(out - batch.data());
    ++rowCount;
    if (used >= kBatchBytes && !send()) return;
  }
  SetCancelAction({});
  if (rowCount > 0 && !send()) return;
  SendStatus(socket, kFetchEnd, status, db.diagnostics);
}

bool SendDriverInfo(int socket, const DriverInfo& info) {
  std::vector<char> message = NewMessage(kDriverInfo);
  PutText(message, info.driverName);
  PutText(message, info.driverVersion);
  PutText(message, info.dbmsName);
  PutText(message, info.dbmsVersion);
  return Send(socket, message);
}

// Prepares and describes `statement` and sends what the driver said.
bool SendDescription(int socket, DbState& db, const std::string& statement) {
  std::vector<ColumnDescription> columns;
  const std::int32_t status = dbDescribe(db, statement, columns);
  std::vector<char> message = NewMessage(kDescribed);
  PutU32(message, static_cast<std::uint32_t>(status));
  PutU32(message, static_cast<std::uint32_t>(columns.size()));
  for (const ColumnDescription& column : columns) {
    PutText(message, column.name);
    PutU32(message, static_cast<std::uint32_t>(column.sqlType));
    // Sizes beyond 32 bits (a driver's "unlimited") are all too large for any field.
    PutU32(message, static_cast<std::uint32_t>(std::min<std::uint64_t>(column.size, 0xFFFFFFFFu)));
  }
  message.insert(message.end(), db.diagnostics.begin(), db.diagnostics.end());
  return Send(socket, message);
}

}  // namespace

int RunDriverSide(int socket, bool isOwnProcess) {
  // Until the driver is known a cancel request is only noted; a driver that
  // can be cancelled from another thread gets the watcher thread for it. On
  // the thread the run's own watcher serves.
  SignalWatch cancelWatch;
  if (isOwnProcess) cancelWatch.StartWithoutThread();
  // The deadlines come with the environment, which a child inherits; the
  // run traces an unreadable one.
  const auto start = std::chrono::steady_clock::now();
  std::string unread;
  const DeadlineSettings deadlines = ReadDeadlineSettings(unread);
  std::string userName;
  std::string password;
  std::string dataSource;
  DbState db;
  db.loginTimeoutSeconds = DriverLoginTimeout(deadlines);
  // The code page, like the deadlines, comes with the environment; the run
  // traces an unreadable one, and a code page the system cannot convert to
  // shows as the fetch's failure.
  const int codePage = ReadCodePageSetting(unread);
  const bool isEncoding = db.encoder.Open(codePage);
  std::int32_t connected = -1;
  if (ReceiveConnectDetails(socket, userName, password, dataSource)) {
    connected = dbConnect(db, userName, password, dataSource);
  }
  // Some drivers quote the connect string in their messages; the password
  // is masked here, the only place that still has it.
  ScrubSecret(db.diagnostics, password);
  WipeText(password);
  WipeText(userName);
  WipeText(dataSource);
  if (isOwnProcess && connected == 0 && db.canCancelFromAnyThread) cancelWatch.Start(SignalRole::DriverChild);
  if (!SendStatus(socket, kConnected, connected, db.diagnostics) || connected != 0) return 0;
  if (!SendDriverInfo(socket, db.info)) return 0;

  char type = 0;
  std::vector<char> request;
  bool isReceived = Receive(socket, type, request);
  while (isReceived && type == kDescribe) {
    if (!SendDescription(socket, db, std::string(request.begin(), request.end()))) return 0;
    isReceived = Receive(socket, type, request);
  }
  if (!isReceived || type != kExecute || request.size() < 4) return 0;
  const std::uint32_t slotCount = GetU32(request.data());
  if (slotCount > kMaxColumns || request.size() < 4 + slotCount) return 0;
  std::vector<int> slots(request.begin() + 4, request.begin() + 4 + slotCount);
  const std::string statement(request.begin() + 4 + slotCount, request.end());

  if (db.canCancelFromAnyThread) SetCancelAction([&db] { dbCancel(db); });
  db.queryTimeoutSeconds = DriverQueryTimeout(deadlines, std::chrono::steady_clock::now() - start);
  const std::int32_t executed = dbExecute(db, statement);
  // Such a driver is cancelled during the fetch only between two fetches.
  if (!db.canCancelFetchFromAnyThread) SetCancelAction({});
  std::vector<char> answer = NewMessage(kExecuted);
  PutU32(answer, static_cast<std::uint32_t>(executed));
  PutU32(answer, static_cast<std::uint32_t>(db.resultColumnCount));
  answer.push_back(db.statementHandle.isOpen() ? 1 : 0);
  answer.insert(answer.end(), db.diagnostics.begin(), db.diagnostics.end());
  const bool isAnswered = Send(socket, answer);
  if (isAnswered && executed == 0 && !isEncoding) {
    SendStatus(socket, kFetchEnd, -1, "KORVADEX_CODEPAGE " + std::to_string(codePage) + ": kein Umsetzer\n");
  } else if (isAnswered && executed == 0) {
    FetchAndSend(socket, db, slots);
  }
  // Cleared on every way out: on the thread the action would outlive `db`.
  SetCancelAction({});
  if (!isAnswered) return 0;
  dbCloseStatement(db);
  // Waits for the parent to close its end, so the connection ends only
  // after the parent has all it needs.
  while (Receive(socket, type, request)) {
  }
  return 0;
}

bool DriverProcess::Start(bool isProcessWanted) {
  return isProcessWanted ? child_.StartProcess(RunDriverSide) : child_.StartThread(RunDriverSide);
}

void DriverProcess::Connect(const std::string& userName, const std::string& password,
                            const std::string& dataSource) {
  std::vector<char> message = NewMessage(kConnect);
  // Room for all at once: a vector that grew would leave copies of the password behind.
  message.reserve(kHeaderBytes + 12 + userName.size() + password.size() + dataSource.size());
  PutText(message, userName);
  PutText(message, password);
  PutText(message, dataSource);
  // A driver side that is gone already shows in AwaitConnect.
  Send(child_.socket(), message);
  WipeMemory(message.data(), message.size());
}

std::int32_t DriverProcess::AwaitConnect(std::string& diagnostics) {
  char type = 0;
  std::vector<char> payload;
  if (!Receive(child_.socket(), type, payload) || type != kConnected || payload.size() < 4) {
    diagnostics = Finish(true);
    return -1;
  }
  diagnostics.assign(payload.begin() + 4, payload.end());
  const auto status = static_cast<std::int32_t>(GetU32(payload.data()));
  if (status != 0) return status;
  std::size_t at = 0;
  if (!Receive(child_.socket(), type, payload) || type != kDriverInfo || !TakeText(payload, at, info_.driverName) ||
      !TakeText(payload, at, info_.driverVersion) || !TakeText(payload, at, info_.dbmsName) ||
      !TakeText(payload, at, info_.dbmsVersion)) {
    diagnostics = Finish(true);
    return -1;
  }
  return status;
}

DescribeResult DriverProcess::Describe(const std::string& statement, std::vector<ColumnDescription>& columns,
                                       std::string& diagnostics) {
  columns.clear();
  std::vector<char> request = NewMessage(kDescribe);
  request.insert(request.end(), statement.begin(), statement.end());
  char type = 0;
  std::vector<char> payload;
  if (!Send(child_.socket(), request) || !Receive(child_.socket(), type, payload) || type != kDescribed ||
      payload.size() < 8) {
    diagnostics = Finish(true);
    return DescribeResult::Lost;
  }
  const auto status = static_cast<std::int32_t>(GetU32(payload.data()));
  const std::uint32_t count = GetU32(payload.data() + 4);
  std::size_t at = 8;
  for (std::uint32_t i = 0; i < count; ++i) {
    ColumnDescription column;
    if (!TakeText(payload, at, column.name) || payload.size() - at < 8) {
      diagnostics = Finish(true);
      return DescribeResult::Lost;
    }
    column.sqlType = static_cast<std::int32_t>(GetU32(payload.data() + at));
    column.size = GetU32(payload.data() + at + 4);
    at += 8;
    columns.push_back(std::move(column));
  }
  diagnostics.assign(payload.begin() + static_cast<std::ptrdiff_t>(at), payload.end());
  return status == 0 ? DescribeResult::Described : DescribeResult::NotDescribed;
}

void DriverProcess::Execute(const std::string& statement, const std::vector<int>& slots,
                            ExecuteReport& report) {
  std::vector<char> request = NewMessage(kExecute);
  PutU32(request, static_cast<std::uint32_t>(slots.size()));
  for (int slot : slots) request.push_back(static_cast<char>(slot));
  request.insert(request.end(), statement.begin(), statement.end());
  char type = 0;
  std::vector<char> payload;
  if (!Send(child_.socket(), request) || !Receive(child_.socket(), type, payload) || type != kExecuted ||
      payload.size() < 9) {
    report = ExecuteReport{-1, 0, false, Finish(true)};
    return;
  }
  report.status = static_cast<std::int32_t>(GetU32(payload.data()));
  report.resultColumnCount = static_cast<int>(GetU32(payload.data() + 4));
  report.hasStatement = payload[8] != 0;
  report.diagnostics.assign(payload.begin() + 9, payload.end());
}

BatchResult DriverProcess::NextBatch(RowBatch& batch, std::int32_t& status, std::string& diagnostics) {
  char type = 0;
  if (!Receive(child_.socket(), type, batch.bytes) || batch.bytes.size() < 4 ||
      (type != kRows && type != kFetchEnd)) {
    diagnostics = Finish(true);
    return BatchResult::Lost;
  }
  if (type == kFetchEnd) {
    status = static_cast<std::int32_t>(GetU32(batch.bytes.data()));
    diagnostics.assign(batch.bytes.begin() + 4, batch.bytes.end());
    return BatchResult::End;
  }
  batch.rowCount = GetU32(batch.bytes.data());
  return BatchResult::Rows;
}

std::string DriverProcess::Finish(bool isLost) {
  const ChildEnd end = child_.Wait();
  char line[160] = {};
  if (end.signal != 0) {
    std::snprintf(line, sizeof line, "ODBC-Treiberprozess beendet durch Signal %d (SIG%s)\n", end.signal,
                  SignalName(end.signal));
  } else if (end.exception != 0) {
    std::snprintf(line, sizeof line, "ODBC-Treiberprozess beendet durch Ausnahme 0x%08X\n",
                  static_cast<unsigned>(end.exception));
  } else if (!end.hasExited || end.exitCode != 0 || isLost) {
    std::snprintf(line, sizeof line, "ODBC-Treiberprozess beendet mit Code %d\n", end.exitCode);
  }
  return line;
}

}  // namespace korvadex
