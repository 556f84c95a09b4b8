// Reads a job's section of the job definition file: the statement, its
// terminal-name substitution and the thirty output columns.
#include "jobdef/job_definition.h"

#include <cstdio>

#include "platform/case_path.h"

namespace korvadex {

namespace {

std::string NumberedKey(const char* prefix, const char* format, int number) {
  char key[16];
  std::snprintf(key, sizeof key, format, prefix, number);
  return key;
}

}  // namespace

std::string PieceKey(int piece) { return NumberedKey("SQL", "%s%03d", piece); }

std::string ColumnKey(const char* prefix, int column) { return NumberedKey(prefix, "%s%02d", column); }

std::string JobDefinitionPath(std::string_view dbSystem) {
  std::string path = ToNativePath("./") + "KORVADEX.";
  path.append(dbSystem);
  path.append(".INI");
  return path;
}

void ResetColumnValues(ColumnTable& columns) {
  for (ColumnDef& column : columns) column = ColumnDef{};
}

std::string AssembleStatement(const ProfileData& profile, std::string_view section) {
  std::string statement;
  for (int piece = 1; piece <= kMaxPieces; ++piece) {
    std::string value = ProfileString(profile, section, PieceKey(piece), "", kPieceSize);
    // The blank goes in before the test, so the empty read that ends the
    // statement leaves its closing blank.
    statement += ' ';
    statement += value;
    if (value.empty()) return statement;
  }
  // All 999 pieces were set: the statement still ends with its blank.
  statement += ' ';
  return statement;
}

void ReadColumnDefs(const ProfileData& profile, std::string_view section, ColumnTable& columns) {
  for (int n = 1; n <= kMaxColumns; ++n) {
    columns[n - 1].name = ProfileString(profile, section, ColumnKey("FELD", n), "", kColumnNameSize);
  }
  for (int n = 1; n <= kMaxColumns; ++n) {
    columns[n - 1].type = ProfileString(profile, section, ColumnKey("FTYP", n), "", kColumnTypeSize);
  }
  for (int n = 1; n <= kMaxColumns; ++n) {
    columns[n - 1].width =
        ParseWidth(ProfileString(profile, section, ColumnKey("FLEN", n), "", kColumnWidthSize));
  }
}

std::string SubstituteTerminal(std::string_view statement, std::string_view terminalName) {
  std::string result;
  result.reserve(statement.size());
  std::size_t from = 0;
  for (;;) {
    std::size_t found = statement.find(kTerminalMarker, from);
    if (found == std::string_view::npos) break;
    result.append(statement.substr(from, found - from));
    result.append(terminalName);
    from = found + kTerminalMarker.size();
  }
  result.append(statement.substr(from));
  return result;
}

std::int32_t ParseWidth(std::string_view text) {
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && isSpace(text[i])) ++i;
  bool isNegative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    isNegative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) {
      value = static_cast<std::int64_t>(INT32_MAX) + 1;
      if (!isNegative) value = INT32_MAX;
      break;
    }
  }
  return static_cast<std::int32_t>(isNegative ? -value : value);
}

int GetIniValues(const std::string& sectionName, const std::string& dbSystem,
                 const std::string& terminalName, int debugMode, std::string& sqlStatement,
                 ColumnTable& columns) {
  sqlStatement.clear();
  if (debugMode) std::printf("Str GetIniValues\n");
  // One read of the file serves all ninety-odd look-ups; a file that cannot
  // be read looks like an empty one, as the profile functions treat it.
  ProfileData profile;
  LoadProfile(ResolvePathCase(JobDefinitionPath(dbSystem)), profile);

  std::string assembled = AssembleStatement(profile, sectionName);
  if (assembled == " ") {
    sqlStatement = assembled;
    return kNoStatement;
  }
  if (debugMode) {
    std::printf("  >>>>> SQL-Statement <<<<<\n");
    std::printf("  '%s'\n", assembled.c_str());
  }
  ReadColumnDefs(profile, sectionName, columns);
  sqlStatement = SubstituteTerminal(assembled, terminalName);
  if (debugMode) std::printf("End GetIniValues\n");
  return 0;
}

}  // namespace korvadex
