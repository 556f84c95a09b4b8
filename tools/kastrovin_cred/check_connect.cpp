// kastrovin-cred check --connect: prepares, never executes, and compares.
#include "kastrovin_cred/check_connect.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "db/diagnostic_records.h"
#include "db/driver_process.h"
#include "db/odbc_access.h"
#include "jobdef/job_definition.h"
#include "kastrovin_cred/messages.h"
#include "output/record_format.h"
#include "platform/odbc_headers.h"

namespace korvadex::cred {

namespace {

// The bytes one character may take in the download file: a UTF-8 code page
// (KORVADEX_CODEPAGE=65001) up to four, the single-byte ones and the
// driver's own text (no setting) one.
int BytesPerCharacter() {
  const char* codePage = std::getenv("KORVADEX_CODEPAGE");
  return codePage != nullptr && std::string_view(codePage) == "65001" ? 4 : 1;
}

bool IsText(int sqlType) {
  switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return true;
    default:
      return false;
  }
}

// The longest text the driver gives for a value of `column`, in bytes: the
// ODBC display sizes for numbers (sign and decimal point included).
std::uint64_t DeclaredBytes(const ColumnDescription& column, int bytesPerCharacter) {
  if (IsText(column.sqlType)) return column.size * static_cast<std::uint64_t>(bytesPerCharacter);
  switch (column.sqlType) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return column.size + 2;
    case SQL_BIT:
      return 1;
    case SQL_TINYINT:
      return 4;
    case SQL_SMALLINT:
      return 6;
    case SQL_INTEGER:
      return 11;
    case SQL_BIGINT:
      return 20;
    case SQL_REAL:
      return 14;
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return 24;
    default:
      return column.size;
  }
}

std::string ResultColumns(int count) {
  return std::to_string(count) + (count == 1 ? " result column" : " result columns");
}

std::string TwoDigits(int number) { return (number < 10 ? "0" : "") + std::to_string(number); }

// "SQLSTATE IM002: text; SQLSTATE ...", or the driver process's own note.
std::string DiagnosticText(const std::string& diagnostics) {
  std::string text;
  for (const DiagnosticRecord& record : ParseDiagnostics(diagnostics)) {
    if (!text.empty()) text += "; ";
    text += record.sqlstate.empty() ? record.text : "SQLSTATE " + record.sqlstate + ": " + record.text;
  }
  return text.empty() ? "no diagnostics" : text;
}

// Compares the described result columns of `section` with its fields.
void CompareColumns(CredentialCheck& check, const std::string& shown, const ColumnTable& fields,
                    const std::vector<ColumnDescription>& columns) {
  const RecordLayout layout = MakeRecordLayout(fields);
  const int resultCount = static_cast<int>(columns.size());
  if (resultCount == 0) {
    // SQLite's driver, for one, describes a statement it cannot compile as one without columns.
    check.warnings.push_back(shown +
                             "The driver describes no result columns: the statement gives none (korvadex would "
                             "write no record), or the driver cannot tell without executing it.");
    return;
  }
  int highestField = 0;
  std::string missing;
  int missingCount = 0;
  for (int i = 0; i < layout.count; ++i) {
    const int number = layout.slots[i] + 1;
    highestField = number;
    if (number <= resultCount) continue;
    missing += (missing.empty() ? "FELD" : ", FELD") + TwoDigits(number);
    ++missingCount;
  }
  if (!missing.empty()) {
    check.warnings.push_back(shown + "The statement gives " + ResultColumns(resultCount) +
                             ", fewer than the fields name: " + missing +
                             (missingCount == 1 ? " stays" : " stay") + " empty in every record.");
  }
  const int readCount = std::min(highestField, static_cast<int>(kMaxColumns));
  if (resultCount > readCount) {
    check.warnings.push_back(shown + "The statement gives " + ResultColumns(resultCount) + ", the fields read " +
                             std::to_string(readCount) + ": column" +
                             (resultCount == readCount + 1 ? " " + std::to_string(resultCount)
                                                           : "s " + std::to_string(readCount + 1) + " to " +
                                                                 std::to_string(resultCount)) +
                             " never reach the file.");
  }
  const int bytesPerCharacter = BytesPerCharacter();
  for (int i = 0; i < layout.count; ++i) {
    const int number = layout.slots[i] + 1;
    if (number > resultCount) continue;
    const ColumnDescription& column = columns[static_cast<std::size_t>(number - 1)];
    const std::uint64_t bytes = DeclaredBytes(column, bytesPerCharacter);
    const std::uint64_t width = layout.widths[i];
    if (bytes <= width) continue;
    const bool isSized = IsText(column.sqlType) || column.sqlType == SQL_DECIMAL || column.sqlType == SQL_NUMERIC;
    std::string declared = dbTypeName(column.sqlType);
    if (isSized) declared += "(" + std::to_string(column.size) + ")";
    if (!isSized || (IsText(column.sqlType) && bytesPerCharacter > 1)) {
      declared += ", up to " + std::to_string(bytes) + " bytes";
      if (bytesPerCharacter > 1) declared += " in code page 65001";
    }
    // A long text type declares the most the database can hold, not what
    // the column holds: worth knowing, but no sign of a mistake in the job.
    const bool isUnbounded = column.sqlType == SQL_LONGVARCHAR || column.sqlType == SQL_WLONGVARCHAR;
    (isUnbounded ? check.notes : check.warnings)
        .push_back(shown + "Column " + std::to_string(number) + " is " + declared + ", FLEN" + TwoDigits(number) +
                   " is " + std::to_string(width) + ": longer values are cut to their last " + std::to_string(width) +
                   " bytes.");
  }
}

}  // namespace

int AddConnectFindings(CredentialCheck& check, const ProfileData& profile, const std::optional<std::string>& terminal) {
  std::string dataSource = check.keys[0].entry.value;
  // As korvadex: a data source name it would not take is no name.
  if (dataSource.size() > kDataSourceLimit) dataSource.clear();
  DriverProcess driver;
  if (!driver.Start(true) && !driver.Start(false)) {
    check.warnings.push_back("No driver process could be started; nothing was connected.");
    return kExitDriverEnded;
  }
  driver.Connect(check.keys[1].entry.value, check.keys[2].entry.value, dataSource);
  std::string diagnostics;
  if (driver.AwaitConnect(diagnostics) != 0) {
    const bool isLost = !diagnostics.empty() && ParseDiagnostics(diagnostics).front().sqlstate.empty();
    check.warnings.push_back((isLost ? "The ODBC driver process ended during the connect to " : "Cannot connect to ") +
                             std::string("data source \"") + dataSource + "\": " + DiagnosticText(diagnostics) + ".");
    driver.Finish();
    return isLost ? kExitDriverEnded : kExitNoConnection;
  }
  const DriverInfo& info = driver.driverInfo();
  check.notes.push_back("Connected to data source \"" + dataSource + "\": " + info.dbmsName + " " + info.dbmsVersion +
                        ", driver " + info.driverName + " " + info.driverVersion + ".");
  const std::string terminalName = terminal ? *terminal : kTerminalPlaceholder;
  for (const std::string& section : profile.sectionNames) {
    const std::string shown = "[" + section + "] ";
    const std::string assembled = AssembleStatement(profile, section);
    // The job check warns about a section without a statement already.
    if (assembled == " ") continue;
    if (!terminal && assembled.find("$parm01") != std::string::npos) {
      check.notes.push_back(shown + "$parm01 was replaced by \"" + std::string(kTerminalPlaceholder) +
                            "\" for the check; give the real one with --terminal NAME.");
    }
    ColumnTable fields;
    ReadColumnDefs(profile, section, fields);
    std::vector<ColumnDescription> columns;
    const DescribeResult described = driver.Describe(SubstituteTerminal(assembled, terminalName), columns, diagnostics);
    if (described == DescribeResult::Lost) {
      check.warnings.push_back(shown + "The ODBC driver process ended while preparing the statement: " +
                               DiagnosticText(diagnostics) + ". The remaining sections were not checked.");
      return kExitDriverEnded;
    }
    if (described == DescribeResult::NotDescribed) {
      check.warnings.push_back(shown + "The driver cannot prepare and describe the statement without executing it (" +
                               DiagnosticText(diagnostics) + "); its columns were not checked.");
      continue;
    }
    CompareColumns(check, shown, fields, columns);
  }
  driver.Finish();
  return 0;
}

}  // namespace korvadex::cred
