// The diagnostic lines of the debug trace read back into records, for the
// readers that want them apart: the run report and the operators' check.
#ifndef KORVADEX_DB_DIAGNOSTIC_RECORDS_H_
#define KORVADEX_DB_DIAGNOSTIC_RECORDS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvadex {

struct DiagnosticRecord {
  std::string sqlstate;       // empty for a line of the driver process's own (how it ended)
  std::optional<long> native;  // the driver's native code; none for such a line
  std::string text;
};

// Splits `diagnostics` (the lines of CollectDiagnostics, and the driver
// process's own) into records; a line that is neither continues the message
// before it, which a driver may have broken over lines.
std::vector<DiagnosticRecord> ParseDiagnostics(std::string_view diagnostics);

}  // namespace korvadex

#endif  // KORVADEX_DB_DIAGNOSTIC_RECORDS_H_
