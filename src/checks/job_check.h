// The operators' check of a job definition file: what korvadex would silently
// cut, skip or misread in each job section, found with the look-ups it makes.
#ifndef KORVADEX_CHECKS_JOB_CHECK_H_
#define KORVADEX_CHECKS_JOB_CHECK_H_

#include <optional>
#include <string>
#include <vector>

#include "jobdef/profile_reader.h"

namespace korvadex {

enum class JobFindingKind {
  NoSection,          // the file holds no section at all
  NoStatement,        // SQL001 missing or empty: korvadex ends with exit code 3
  PieceGap,           // pieces behind the first missing or empty one are never read
  PieceCut,           // a piece over 199 characters loses its rest
  MarkerCase,         // $PARM01 and the like are left in the statement
  MarkerSplit,        // $parm01 split over two pieces is broken by the joining blank
  ColumnGap,          // a missing FELDnn below a set one: that result column is skipped
  ColumnWithoutName,  // FTYPnn or FLENnn without FELDnn: the column is left out
  ColumnIncomplete,   // FELDnn without FTYPnn or FLENnn: the column is left out
  TypeUnknown,        // FTYPnn other than CHAR, DEC or TXT
  WidthNotPlain,      // FLENnn not a plain number from 1 to 999
  NoColumn,           // no column makes it into the record, so every record is empty
  ColumnBeyond30,     // FELD31 and up are never read
  KeyNeverRead,       // SQL1, FELD5 and the like are never asked for
  NoTerminalMarker,   // information: the statement does not depend on the terminal
  TerminalAsSqlText,  // information: the terminal name goes into the statement unquoted
};

struct JobFinding {
  JobFindingKind kind;
  bool isInfo = false;                 // information only, not a warning
  std::optional<std::string> section;  // as first written in the file; none for the file as a whole
  std::string text;                    // one sentence
};

// Checks every section of `profile` as korvadex would read it as a job, in file
// order, then the file as a whole.
std::vector<JobFinding> CheckJobDefinition(const ProfileData& profile);

// The finding as one report line: "[SECTION] text", or the text alone.
std::string FormatJobFinding(const JobFinding& finding);

}  // namespace korvadex

#endif  // KORVADEX_CHECKS_JOB_CHECK_H_
