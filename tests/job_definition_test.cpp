// Tests of reading a job: statement pieces, terminal substitution, columns, traces.
#include "jobdef/job_definition.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "test_support.h"

namespace korvadex {
namespace {

ProfileData Profile(const std::string& text) { return ParseProfile(text); }

TEST(JobDefinitionTest, AssemblesPiecesUntilTheFirstMissingOrEmptyOne) {
  struct Case {
    const char* label;
    const char* ini;
    const char* expected;
  } cases[] = {
      {"two pieces", "[J]\nSQL001=SELECT a\nSQL002=FROM t\n", " SELECT a FROM t "},
      {"gap stops reading", "[J]\nSQL001=A\nSQL002=B\nSQL004=D\n", " A B "},
      {"empty piece stops reading", "[J]\nSQL001=A\nSQL002=\nSQL003=C\n", " A "},
      {"no first piece", "[J]\nSQL002=B\n", " "},
      {"other section only", "[K]\nSQL001=A\n", " "},
      {"split marker is not joined", "[J]\nSQL001=x $par\nSQL002=m01\n", " x $par m01 "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AssembleStatement(Profile(c.ini), "J"), c.expected) << c.label;
  }
}

TEST(JobDefinitionTest, CutsPiecesTo199CharactersAndStopsAfterPiece999) {
  const std::string longPiece(250, 'p');
  EXPECT_EQ(AssembleStatement(Profile("[J]\nSQL001=" + longPiece + "\n"), "J"),
            " " + std::string(199, 'p') + " ");

  std::string ini = "[J]\n";
  for (int i = 1; i <= 1000; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "SQL%03d=x\n", i);
    ini += line;
  }
  ini += "SQL1000=never\n";
  const std::string statement = AssembleStatement(Profile(ini), "J");
  EXPECT_EQ(statement.size(), 999u * 2 + 1);
  EXPECT_EQ(statement.find("never"), std::string::npos);
}

TEST(JobDefinitionTest, SubstitutesEveryMarkerWithoutRescanningInsertedText) {
  struct Case {
    const char* label;
    const char* statement;
    const char* terminal;
    const char* expected;
  } cases[] = {
      {"apart and adjacent", " a='$parm01' b=$parm01$parm01 ", "T1", " a='T1' b=T1T1 "},
      {"empty terminal removes", " x$parm01y ", "", " xy "},
      {"terminal holding the marker", " $parm01 $parm01 ", "$parm01", " $parm01 $parm01 "},
      {"capital marker untouched", " $PARM01 ", "T", " $PARM01 "},
      {"digit after the marker stays", " $parm012 ", "T", " T2 "},
      {"used inside names", " FROM tab_$parm01 ", "K1", " FROM tab_K1 "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SubstituteTerminal(c.statement, c.terminal), c.expected) << c.label;
  }
  const std::string longTerminal(10000, 't');
  EXPECT_EQ(SubstituteTerminal("$parm01", longTerminal), longTerminal);
}

TEST(JobDefinitionTest, ReadsWidthsAsAtoiReadsTheFirstThreeCharacters) {
  ColumnTable columns{};
  ReadColumnDefs(Profile("[J]\nFLEN01=1234\nFLEN02=0100\nFLEN03=-5\nFLEN04=abc\n"
                         "FLEN05= 7x\n"),
                 "J", columns);
  EXPECT_EQ(columns[0].width, 123);
  EXPECT_EQ(columns[1].width, 10);
  EXPECT_EQ(columns[2].width, -5);
  EXPECT_EQ(columns[3].width, 0);
  EXPECT_EQ(columns[4].width, 7);
  EXPECT_EQ(columns[5].width, 0);  // missing
}

TEST(JobDefinitionTest, CutsNamesAndTypesAndLeavesMissingColumnsEmpty) {
  ColumnTable columns{};
  ReadColumnDefs(Profile("[J]\nFELD04=D\nFELD06=" + std::string(120, 'n') +
                         "\nFTYP04=CHARACTER\nFTYP06=DEC\nFELD30=LAST\nFTYP30=TXT\nFLEN30=5\n"),
                 "J", columns);
  EXPECT_EQ(columns[3].name, "D");
  EXPECT_EQ(columns[3].type, "CHAR");
  EXPECT_EQ(columns[4].name, "");
  EXPECT_EQ(columns[5].name, std::string(99, 'n'));
  EXPECT_EQ(columns[5].type, "DEC");
  EXPECT_EQ(columns[29].name, "LAST");
  EXPECT_EQ(columns[29].width, 5);
}

// Runs GetIniValues in a folder of its own, since the job file is found
// relative to the working directory.
class GetIniValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::getcwd(oldDir_, sizeof oldDir_), oldDir_);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(oldDir_), 0); }

  int Read(const std::string& section, int debugMode) {
    ::testing::internal::CaptureStdout();
    int result = GetIniValues(section, "SQLITE", "T9", debugMode, statement, columns);
    output = ::testing::internal::GetCapturedStdout();
    return result;
  }

  testing::TempDir dir_;
  char oldDir_[4096];
  std::string statement;
  ColumnTable columns{};
  std::string output;
};

TEST_F(GetIniValuesTest, ReadsTheJobAndTracesTheStatementBeforeSubstitution) {
  testing::WriteFileBytes("KORVADEX.SQLITE.INI",
                          "[OTHER]\nSQL001=no\n[job]\nSQL001=SELECT a FROM t\n"
                          "SQL002=WHERE k = '$parm01'\nFELD01=A\nFTYP01=CHAR\nFLEN01=4\n");
  ASSERT_EQ(Read("JOB", 1), 0);
  EXPECT_EQ(statement, " SELECT a FROM t WHERE k = 'T9' ");
  EXPECT_EQ(columns[0].name, "A");
  EXPECT_EQ(output,
            "Str GetIniValues\n"
            "  >>>>> SQL-Statement <<<<<\n"
            "  ' SELECT a FROM t WHERE k = '$parm01' '\n"
            "End GetIniValues\n");
}

TEST_F(GetIniValuesTest, ReportsNoStatementWithoutMessage) {
  testing::WriteFileBytes("KORVADEX.SQLITE.INI", "[JOB]\nFELD01=A\n");
  EXPECT_EQ(Read("JOB", 0), 3);
  EXPECT_EQ(output, "");
  EXPECT_EQ(columns[0].name, "");
  EXPECT_EQ(Read("JOB", 1), 3);
  EXPECT_EQ(output, "Str GetIniValues\n");
  EXPECT_EQ(Read("MISSING", 0), 3);
}

TEST_F(GetIniValuesTest, MissingFileGivesNoStatementAndOtherCaseOfNameIsFound) {
  EXPECT_EQ(Read("JOB", 0), 3);
  testing::WriteFileBytes("korvadex.sqlite.ini", "[JOB]\nSQL001=SELECT 1\n");
  EXPECT_EQ(Read("JOB", 0), 0);
  EXPECT_EQ(statement, " SELECT 1 ");
}

TEST_F(GetIniValuesTest, EndlessSourceIsReadOnlyUpToALimit) {
  ASSERT_EQ(::symlink("/dev/zero", "KORVADEX.SQLITE.INI"), 0);
  EXPECT_EQ(Read("JOB", 0), 3);
}

}  // namespace
}  // namespace korvadex
