// Regression tests for faults that fuzzing and the fault tests found; each
// case names the input that went wrong.
#include <gtest/gtest.h>

#include <string>

#include "jobdef/job_definition.h"
#include "jobdef/profile_reader.h"

namespace korvadex {
namespace {

using namespace std::string_literals;

// A value reaches the job reader as a NUL-terminated text, so a NUL byte in
// the file ends the value. Before the fix the bytes after it stayed in the
// statement: the driver then saw only the text up to the NUL, and the pieces
// after it were silently dropped from what was executed.
TEST(RegressionTest, NulByteEndsAProfileValue) {
  const ProfileData profile = ParseProfile(
      "[J]\nSQL001=SELECT k\0junk\nSQL002=FROM t\nFELD01=\0K\nFTYP01=CH\0AR\nFLEN01=1\0002\n"s);
  EXPECT_EQ(AssembleStatement(profile, "J"), " SELECT k FROM t ");
  ColumnTable columns;
  ReadColumnDefs(profile, "J", columns);
  EXPECT_EQ(columns[0].name, "");
  EXPECT_EQ(columns[0].type, "CH");
  EXPECT_EQ(columns[0].width, 1);
}

TEST(RegressionTest, PieceStartingWithNulEndsTheStatement) {
  const ProfileData profile = ParseProfile("[J]\nSQL001=\0SELECT 1\nSQL002=SELECT 2\n"s);
  EXPECT_EQ(AssembleStatement(profile, "J"), " ");
  const ProfileData second = ParseProfile("[J]\nSQL001=SELECT 1\nSQL002=\0x\nSQL003=never\n"s);
  EXPECT_EQ(AssembleStatement(second, "J"), " SELECT 1 ");
}

}  // namespace
}  // namespace korvadex
