// Tests of the operators' job file check: one case for each thing korvadex
// would silently cut, skip or misread, and a clean job that gives none.
#include "checks/job_check.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jobdef/profile_reader.h"

namespace korvadex {
namespace {

constexpr char kSqlTextNote[] =
    "info: The terminal name replaces $parm01 as SQL text, unquoted and unchecked: pass only trusted terminal "
    "names without quotes, since some drivers run a second statement after a ';'.";

// A statement that uses the marker and one column without fault, so a case
// only adds the keys it is about.
constexpr char kStatement[] = "SQL001=SELECT a FROM t WHERE k = '$parm01'\n";
constexpr char kColumn[] = "FELD01=A\nFTYP01=CHAR\nFLEN01=4\n";

std::vector<std::string> Lines(const std::vector<JobFinding>& findings) {
  std::vector<std::string> lines;
  for (const JobFinding& finding : findings) {
    lines.push_back((finding.isInfo ? "info: " : "warning: ") + FormatJobFinding(finding));
  }
  return lines;
}

std::vector<std::string> Check(const std::string& ini) { return Lines(CheckJobDefinition(ParseProfile(ini))); }

TEST(JobCheckTest, CleanJobsGiveOnlyTheNoteOnTheTerminalName) {
  // A piece of exactly 199 characters, widths 1 and 999, and a repeated
  // section, which korvadex never reads, give nothing to warn about.
  const std::string fullPiece = "SQL002=AND x <> '" + std::string(188, 'x') + "'\n";
  ASSERT_EQ(fullPiece.size(), 7u + 199u + 1u);
  EXPECT_EQ(Check("; jobs\n[Artikel]\n" + std::string(kStatement) + fullPiece + kColumn +
                  "FELD02=B\nFTYP02=DEC\nFLEN02=1\nFELD03=C\nFTYP03=TXT\nFLEN03=999\nFLEN04=\nNOTE=free text\n"
                  "[Kunden]\nSQL001=SELECT b FROM u WHERE k = $parm01\nFELD01=B\nFTYP01=DEC\nFLEN01=007\n"
                  "[ARTIKEL]\nSQL009=never seen\n"),
            std::vector<std::string>{kSqlTextNote});
}

TEST(JobCheckTest, ReportsEachWayAJobIsMisread) {
  const std::string longPiece =
      "SQL002=AND x = '" + std::string(171, 'a') + "KEPT-END-0123456789" + "LOST-START-abcdefghij" + "'\n";
  struct Row {
    const char* label;
    std::string ini;
    JobFindingKind kind;  // of the first finding
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"piece over 199 characters", "[J]\n" + std::string(kStatement) + longPiece + kColumn,
       JobFindingKind::PieceCut,
       {"warning: [J] SQL002 has 221 characters and is cut after 199: the kept part ends with "
        "\"aKEPT-END-0123456789\", the lost part begins with \"LOST-START-abcdefghi\".",
        kSqlTextNote}},
      {"pieces after a missing one", "[J]\n" + std::string(kStatement) + "SQL002=ORDER BY a\nSQL004=x\nSQL006=y\n" +
       kColumn, JobFindingKind::PieceGap,
       {"warning: [J] SQL004 and SQL006 are never read: the statement stops at SQL003, which is missing.",
        kSqlTextNote}},
      {"pieces after an empty one", "[J]\n" + std::string(kStatement) + "SQL002=\"\"\nSQL003=ORDER BY a\n" + kColumn,
       JobFindingKind::PieceGap,
       {"warning: [J] SQL003 is never read: the statement stops at SQL002, which is empty.", kSqlTextNote}},
      {"no first piece", "[J]\nSQL002=SELECT a FROM t\n" + std::string(kColumn), JobFindingKind::NoStatement,
       {"warning: [J] SQL001 is missing, so the job has no statement; korvadex would end with exit code 3.",
        "warning: [J] SQL002 is never read: the statement stops at SQL001, which is missing."}},
      {"marker in another letter case", "[J]\nSQL001=SELECT a FROM t WHERE k = '$PARM01' OR j = $Parm01\n" +
       std::string(kColumn), JobFindingKind::MarkerCase,
       {"warning: [J] \"$PARM01\" and \"$Parm01\" are not replaced by the terminal name: only $parm01 in exactly "
        "this letter case is."}},
      {"marker split over two pieces", "[J]\nSQL001=SELECT a FROM t WHERE k = '$par\nSQL002=m01'\n" +
       std::string(kColumn), JobFindingKind::MarkerSplit,
       {"warning: [J] $parm01 is split between SQL001 and SQL002; the blank that joins the pieces breaks it, so "
        "it is not replaced."}},
      {"column after a gap", "[J]\n" + std::string(kStatement) + kColumn + "FELD03=C\nFTYP03=DEC\nFLEN03=5\n",
       JobFindingKind::ColumnGap,
       {"warning: [J] FELD02 is missing or empty while FELD03 is set: result column 2 is not written, and every "
        "later FELDnn still takes result column nn. Leave a column that is not wanted out of the statement "
        "instead.",
        kSqlTextNote}},
      {"type and width without a name", "[J]\n" + std::string(kStatement) + kColumn + "FTYP02=CHAR\nFLEN02=8\n",
       JobFindingKind::ColumnWithoutName,
       {"warning: [J] FTYP02 and FLEN02 are set, but FELD02 is missing or empty: result column 2 is not written.",
        kSqlTextNote}},
      {"name without type or width", "[J]\n" + std::string(kStatement) + kColumn + "FELD02=B\nFTYP02=DEC\nFELD03=C\n",
       JobFindingKind::ColumnIncomplete,
       {"warning: [J] FELD02 (\"B\") has no FLEN02: the column is left out of every record.",
        "warning: [J] FELD03 (\"C\") has neither FTYP03 nor FLEN03: the column is left out of every record.",
        kSqlTextNote}},
      {"types other than CHAR, DEC and TXT",
       "[J]\n" + std::string(kStatement) + "FELD01=A\nFTYP01=char\nFLEN01=4\nFELD02=B\nFTYP02=CHARACTER\nFLEN02=4\n",
       JobFindingKind::TypeUnknown,
       {"warning: [J] FTYP01 is \"char\", none of CHAR, DEC and TXT (exact upper case): the column is left out of "
        "every record.",
        "warning: [J] FTYP02 is \"CHARACTER\"; korvadex reads only its first four characters, CHAR.",
        kSqlTextNote}},
      {"widths that are not 1 to 999",
       "[J]\n" + std::string(kStatement) +
           "FELD01=A\nFTYP01=CHAR\nFLEN01=1000\nFELD02=B\nFTYP02=CHAR\nFLEN02=000\nFELD03=C\nFTYP03=CHAR\n"
           "FLEN03=12a\nFELD04=D\nFTYP04=CHAR\nFLEN04=-1000\n",
       JobFindingKind::WidthNotPlain,
       {"warning: [J] FLEN01 is \"1000\"; korvadex reads only its first three characters, \"100\", as the width 100.",
        "warning: [J] FLEN02 is \"000\", not a plain number from 1 to 999; korvadex reads it as the width 0, so "
        "the column is left out of every record.",
        "warning: [J] FLEN03 is \"12a\", not a plain number from 1 to 999; korvadex reads it as the width 12.",
        "warning: [J] FLEN04 is \"-1000\"; korvadex reads only its first three characters, \"-10\", as the width "
        "-10, so the column is left out of every record.",
        kSqlTextNote}},
      {"no column written", "[J]\n" + std::string(kStatement) + "FIELD01=A\nTYPE01=CHAR\nLEN01=4\n",
       JobFindingKind::NoColumn,
       {"warning: [J] No column is written (each needs a FELDnn, an FTYPnn of CHAR, DEC or TXT and an FLENnn "
        "above 0), so every record is empty and the download file gets no data.",
        kSqlTextNote}},
      {"more than 30 columns", "[J]\n" + std::string(kStatement) + kColumn + "FELD31=X\nFTYP31=CHAR\nFLEN100=3\n",
       JobFindingKind::ColumnBeyond30,
       {"warning: [J] FELD31, FTYP31 and FLEN100 are never read: korvadex reads columns 01 to 30 only.",
        kSqlTextNote}},
      {"numbers written with other digits",
       "[J]\n" + std::string(kStatement) + kColumn + "sql1=x\nSQL0002=y\nSQL1000=z\nFeld2=B\nFTYP00=CHAR\n",
       JobFindingKind::KeyNeverRead,
       {"warning: [J] SQL1, SQL0002, SQL1000, FELD2 and FTYP00 are never read: korvadex asks only for SQL001 to "
        "SQL999 and for FELD, FTYP and FLEN 01 to 30, with exactly these digits.",
        kSqlTextNote}},
      {"statement without the marker", "[J]\nSQL001=SELECT a FROM t\n" + std::string(kColumn),
       JobFindingKind::NoTerminalMarker,
       {"info: [J] The statement has no $parm01, so every terminal gets the same rows; that is right only for a "
        "job that is not run per terminal."}},
      {"no section at all", "; only a comment\nSQL001=SELECT 1\n", JobFindingKind::NoSection,
       {"warning: The job definition file holds no section; korvadex would end with exit code 3 for every job."}},
  };
  for (const Row& row : rows) {
    const std::vector<JobFinding> findings = CheckJobDefinition(ParseProfile(row.ini));
    EXPECT_EQ(Lines(findings), row.lines) << row.label;
    ASSERT_FALSE(findings.empty()) << row.label;
    EXPECT_EQ(findings.front().kind, row.kind) << row.label;
  }
}

}  // namespace
}  // namespace korvadex
