// Reads a job's section of the job definition file: the statement, its
// terminal-name substitution and the thirty output columns.
#ifndef KORVADEX_JOBDEF_JOB_DEFINITION_H_
#define KORVADEX_JOBDEF_JOB_DEFINITION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "jobdef/column_def.h"
#include "jobdef/profile_reader.h"

namespace korvadex {

// Results of GetIniValues besides 0.
inline constexpr int kNoStatement = 3;

// Buffer sizes of the profile look-ups; a value keeps size - 1 characters.
inline constexpr std::size_t kPieceSize = 200;
inline constexpr std::size_t kColumnNameSize = 100;
inline constexpr std::size_t kColumnTypeSize = 5;
inline constexpr std::size_t kColumnWidthSize = 4;

// The statement's last piece is SQL999.
inline constexpr int kMaxPieces = 999;

// Replaced by the terminal name; exact letter case.
inline constexpr std::string_view kTerminalMarker = "$parm01";

// The key of statement piece `piece`: "SQL001" to "SQL999".
std::string PieceKey(int piece);

// The key of column `column` under `prefix` ("FELD", "FTYP", "FLEN"): "FELD01" to "FELD30".
std::string ColumnKey(const char* prefix, int column);

// The job definition file for a database system: "./KORVADEX." + dbSystem + ".INI".
std::string JobDefinitionPath(std::string_view dbSystem);

// Empties every column definition.
void ResetColumnValues(ColumnTable& columns);

// Joins SQL001, SQL002, ... of `section` into a statement: a blank before each
// piece and a closing blank; stops at the first missing or empty piece and
// after SQL999. A single blank means the section gave no statement.
std::string AssembleStatement(const ProfileData& profile, std::string_view section);

// Fills the thirty columns from FELDnn, FTYPnn and FLENnn of `section`.
void ReadColumnDefs(const ProfileData& profile, std::string_view section, ColumnTable& columns);

// Replaces every "$parm01" from left to right by `terminalName`; inserted text
// is never searched again.
std::string SubstituteTerminal(std::string_view statement, std::string_view terminalName);

// The value of a width text as atoi reads it, clamped to 32 bits.
std::int32_t ParseWidth(std::string_view text);

// Reads the job `sectionName` of the job definition file of `dbSystem` into
// `sqlStatement` and `columns`: 0 read, 3 no statement (no message). With
// `debugMode`, prints the trace lines and the statement as assembled.
int GetIniValues(const std::string& sectionName, const std::string& dbSystem,
                 const std::string& terminalName, int debugMode, std::string& sqlStatement,
                 ColumnTable& columns);

}  // namespace korvadex

#endif  // KORVADEX_JOBDEF_JOB_DEFINITION_H_
