// The diagnostic lines of the debug trace read back into records.
#include "db/diagnostic_records.h"

#include <cstdlib>

namespace korvadex {

namespace {

// The form CollectDiagnostics writes: "ODBC-Diagnose: SQLSTATE %s, nativer Code %d: %s".
constexpr std::string_view kRecordPrefix = "ODBC-Diagnose: SQLSTATE ";
constexpr std::string_view kNativePrefix = ", nativer Code ";
constexpr std::string_view kOwnLinePrefix = "ODBC-";

// Reads `line` as a record of the driver's; false when it is not one.
bool ParseRecordLine(std::string_view line, DiagnosticRecord& record) {
  if (!line.starts_with(kRecordPrefix)) return false;
  const std::size_t native = line.find(kNativePrefix);
  if (native == std::string_view::npos) return false;
  const std::string_view rest = line.substr(native + kNativePrefix.size());
  const std::size_t colon = rest.find(": ");
  if (colon == std::string_view::npos) return false;
  const std::string code(rest.substr(0, colon));
  char* end = nullptr;
  const long value = std::strtol(code.c_str(), &end, 10);
  if (end == code.c_str() || *end != '\0') return false;
  record.sqlstate = std::string(line.substr(kRecordPrefix.size(), native - kRecordPrefix.size()));
  record.native = value;
  record.text = std::string(rest.substr(colon + 2));
  return true;
}

}  // namespace

std::vector<DiagnosticRecord> ParseDiagnostics(std::string_view diagnostics) {
  std::vector<DiagnosticRecord> records;
  while (!diagnostics.empty()) {
    const std::size_t end = diagnostics.find('\n');
    const std::string_view line = diagnostics.substr(0, end);
    diagnostics.remove_prefix(end == std::string_view::npos ? diagnostics.size() : end + 1);
    if (line.empty()) continue;
    DiagnosticRecord record;
    if (ParseRecordLine(line, record)) {
      records.push_back(std::move(record));
    } else if (!line.starts_with(kOwnLinePrefix) && !records.empty()) {
      records.back().text += "\n";
      records.back().text += line;
    } else {
      records.push_back({"", std::nullopt, std::string(line)});
    }
  }
  return records;
}

}  // namespace korvadex
