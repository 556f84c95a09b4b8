// Tests of the case-insensitive path lookup against a real temporary folder
// tree, since the behaviour lies in what stat and readdir report.
#include "platform/case_path.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace korvadex {
namespace {

TEST(CasePathTest, TurnsBackslashesIntoSlashes) {
  const struct {
    const char* label;
    const char* input;
    const char* expected;
  } cases[] = {
      {"credentials path", "..\\..\\Files\\Kastrovin.Ini", "../../Files/Kastrovin.Ini"},
      {"job path", ".\\KORVADEX.SQLITE.INI", "./KORVADEX.SQLITE.INI"},
      {"mixed", "a/b\\\\c", "a/b//c"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ToNativePath(c.input), c.expected) << c.label;
}

// Builds the tree in a fresh folder and makes it the working directory, so
// relative paths can be tried as job scripts write them.
class CasePathTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/case_path_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"Files", "Dup", "work", "work/sub"}) {
      ASSERT_TRUE(std::filesystem::create_directory(root_ + "/" + dir)) << dir;
    }
    for (const char* file : {"Files/Kastrovin.Ini", "exact.ini", "EXACT.INI", "Dup/aBC.txt",
                             "Dup/Abc.txt", "Dup/abC.txt", "A@b.txt", "\xDC" "ber.txt"}) {
      ASSERT_TRUE(std::ofstream(root_ + "/" + file).good()) << file;
    }
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    oldCwd_ = cwd;
    free(cwd);
    ASSERT_EQ(chdir((root_ + "/work/sub").c_str()), 0);
  }
  void TearDown() override {
    if (!oldCwd_.empty()) {
      EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string root_;
  std::string oldCwd_;
};

TEST_F(CasePathTreeTest, ResolvesLetterCaseComponentByComponent) {
  const struct {
    const char* label;
    const char* input;  // relative to work/sub inside the tree
    const char* expected;
  } cases[] = {
      {"credentials path", "../../FILES/kastrovin.ini", "../../Files/Kastrovin.Ini"},
      {"exact match wins", "../../EXACT.INI", "../../EXACT.INI"},
      {"one variant", "../../exact.INI", "../../EXACT.INI"},
      {"smallest of several", "../../dup/ABC.TXT", "../../Dup/Abc.txt"},
      {"no match kept", "../../Files/missing.ini", "../../Files/missing.ini"},
      {"nothing matches", "../../nope/KASTROVIN.INI", "../../nope/KASTROVIN.INI"},
      {"missing intermediate", "../../FILES/Sub/kastrovin.ini", "../../Files/Sub/kastrovin.ini"},
      {"dot dot after match", "../../files/../FILES/KASTROVIN.INI", "../../Files/../Files/Kastrovin.Ini"},
      {"dot components", "./.././../files/./kastrovin.ini", "./.././../Files/./Kastrovin.Ini"},
      {"double and trailing slash", "../..//FILES//", "../..//Files//"},
      {"file is no folder", "../../Files/Kastrovin.Ini/X", "../../Files/Kastrovin.Ini/X"},
      {"ASCII folding only", "../../a`B.TXT", "../../a`B.TXT"},
      {"no code page folding", "../../\xFC" "ber.txt", "../../\xFC" "ber.txt"},
      {"working folder itself", "../SUB", "../sub"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolvePathCase(c.input), c.expected) << c.label;
}

TEST_F(CasePathTreeTest, ResolvesAbsolutePaths) {
  EXPECT_EQ(ResolvePathCase(root_ + "/files/KASTROVIN.ini"), root_ + "/Files/Kastrovin.Ini");
  EXPECT_EQ(ResolvePathCase(root_ + "/a@B.TXT"), root_ + "/A@b.txt");
  EXPECT_EQ(ResolvePathCase(root_ + "/gone/x"), root_ + "/gone/x");
}

}  // namespace
}  // namespace korvadex
