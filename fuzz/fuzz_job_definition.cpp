// Fuzzes the job reader as GetIniValues drives it: arbitrary file bytes through
// the profile parser, statement assembly, column reading and terminal
// substitution; and the operators' check of the same file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "checks/job_check.h"
#include "jobdef/job_definition.h"
#include "jobdef/profile_reader.h"

namespace korvadex {
namespace {

constexpr std::string_view kMarker = "$parm01";

// Splits off the text up to the next line feed; the rest stays in `input`.
std::string_view TakeLine(std::string_view& input) {
  const std::size_t end = input.find('\n');
  std::string_view line = input.substr(0, end);
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return line;
}

// Occurrences that a left-to-right replacement consumes: overlapping ones do not count.
std::size_t CountMarkers(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i + kMarker.size() <= text.size();) {
    if (text.compare(i, kMarker.size(), kMarker) == 0) {
      ++count;
      i += kMarker.size();
    } else {
      ++i;
    }
  }
  return count;
}

}  // namespace
}  // namespace korvadex

// Input: the section name, a line feed, the terminal name, a line feed, then the file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvadex;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string section(TakeLine(input));
  const std::string terminal(TakeLine(input));

  const ProfileData profile = ParseProfile(DecodeProfileText(input));
  // The operators' check walks the same file; every finding it gives is a sentence.
  for (const JobFinding& finding : CheckJobDefinition(profile)) {
    FuzzCheck(!finding.text.empty() && finding.text.back() == '.', "a finding is one sentence");
  }
  const std::string statement = AssembleStatement(profile, section);
  FuzzCheck(!statement.empty() && statement.front() == ' ' && statement.back() == ' ',
            "statement starts and ends with a blank");
  FuzzCheck(statement.size() <= 999 * 200 + 1, "at most 999 pieces of 199 characters");
  FuzzCheck(ProfileString(profile, section, "SQL001", "", 200).size() <= 199,
            "a piece keeps at most 199 characters");
  if (statement == " ") return 0;

  ColumnTable columns;
  ResetColumnValues(columns);
  ReadColumnDefs(profile, section, columns);
  for (const ColumnDef& column : columns) {
    FuzzCheck(column.name.size() <= 99, "name cut to 99");
    FuzzCheck(column.type.size() <= 4, "type cut to 4");
    // Three characters of width text: "-99" to "999".
    FuzzCheck(column.width >= -99 && column.width <= 999, "width from three characters");
  }

  const std::string substituted = SubstituteTerminal(statement, terminal);
  const std::size_t markers = CountMarkers(statement);
  FuzzCheck(substituted.size() + markers * kMarker.size() == statement.size() + markers * terminal.size(),
            "every marker replaced exactly once");
  if (terminal.find('$') == std::string::npos && markers == 0) {
    FuzzCheck(substituted == statement, "no marker, no change");
  }
  return 0;
}
