// Tests of the path rules of both systems, which Linux can run alike: the
// Windows build names its temporary and spill files with them.
#include "platform/paths.h"

#include <gtest/gtest.h>

namespace korvadex {
namespace {

constexpr PathStyle kPosix = PathStyle::Posix;
constexpr PathStyle kWindows = PathStyle::Windows;

TEST(PathsTest, FolderAndNameOfAPath) {
  const struct {
    const char* label;
    PathStyle style;
    const char* path;
    const char* folder;
    const char* name;
  } cases[] = {
      {"windows: backslash", kWindows, "sub\\a.dat", "sub", "a.dat"},
      {"windows: slash", kWindows, "sub/a.dat", "sub", "a.dat"},
      {"windows: current folder", kWindows, ".\\c.dat", ".", "c.dat"},
      {"windows: bare name", kWindows, "a.dat", ".", "a.dat"},
      {"windows: drive's current folder", kWindows, "C:x.dat", "C:", "x.dat"},
      {"windows: drive root", kWindows, "C:\\x.dat", "C:\\", "x.dat"},
      {"windows: folder on a drive", kWindows, "C:\\jobs\\run\\x.dat", "C:\\jobs\\run", "x.dat"},
      {"windows: root of the current drive", kWindows, "\\x.dat", "\\", "x.dat"},
      {"windows: share", kWindows, "\\\\srv\\exports\\x.dat", "\\\\srv\\exports\\", "x.dat"},
      {"windows: mixed separators", kWindows, "a/b\\c.dat", "a/b", "c.dat"},
      {"linux: backslash is part of the name", kPosix, "sub\\a.dat", ".", "sub\\a.dat"},
      {"linux: folder", kPosix, "sub/a.dat", "sub", "a.dat"},
      {"linux: root", kPosix, "/a.dat", "/", "a.dat"},
      {"linux: bare name", kPosix, "a.dat", ".", "a.dat"},
      {"linux: a colon is a name character", kPosix, "C:x.dat", ".", "C:x.dat"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderOf(c.path, c.style), c.folder) << c.label;
    EXPECT_EQ(FileNameOf(c.path, c.style), c.name) << c.label;
  }
}

TEST(PathsTest, JoinsANameToAFolderAsFolderOfGivesIt) {
  const struct {
    const char* label;
    PathStyle style;
    const char* folder;
    const char* expected;
  } cases[] = {
      {"windows: folder", kWindows, "sub", "sub\\t"},
      {"windows: current folder", kWindows, ".", ".\\t"},
      {"windows: drive stays relative", kWindows, "C:", "C:t"},
      {"windows: drive root", kWindows, "C:\\", "C:\\t"},
      {"windows: share takes a separator", kWindows, "\\\\srv\\exports", "\\\\srv\\exports\\t"},
      {"windows: folder ending in a slash", kWindows, "sub/", "sub/t"},
      {"linux: folder", kPosix, "sub", "sub/t"},
      {"linux: root", kPosix, "/", "//t"},
  };
  for (const auto& c : cases) EXPECT_EQ(JoinPath(c.folder, "t", c.style), c.expected) << c.label;
}

}  // namespace
}  // namespace korvadex
