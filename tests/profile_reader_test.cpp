// Tests of the private-profile reader: the Windows line rules, decoding of the
// file bytes, the bounded copy, and survival of garbage input.
#include "jobdef/profile_reader.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvadex {
namespace {

struct LookupCase {
  const char* label;
  std::string text;
  const char* section;
  const char* key;
  const char* expected;  // "<default>" when the lookup must fall back
};

TEST(ProfileReaderTest, LooksUpValuesByWindowsRules) {
  const LookupCase cases[] = {
      {"section case ignored", "[Job]\nk=v\n", "JOB", "k", "v"},
      {"key case ignored", "[s]\nFeLd01=Name\n", "s", "FELD01", "Name"},
      {"blanks trimmed", "[s]\n \t\vkey \v= \tval ue\v \t\n", "s", "key", "val ue"},
      {"blanks in header", "  [ Job\t]  \nk=v\n", "job", "k", "v"},
      {"text after ] ignored", "[Job] trailing ;x\nk=v\n", "job", "k", "v"},
      {"header without ]", "[Job \nk=v\n", "Job", "k", "v"},
      {"empty section name", "[]\nk=v\n", "", "k", "v"},
      {"; line is a comment", "[s]\n ;k=c\n", "s", ";k", "<default>"},
      {"# line is a key", "[s]\n#k=v\n", "s", "#k", "v"},
      {"no end-of-line comment", "[s]\nq=a ;b\n", "s", "q", "a ;b"},
      {"empty value", "[s]\nk=\n", "s", "k", ""},
      {"splits at first =", "[s]\nk=a=b\n", "s", "k", "a=b"},
      {"line without = is no key", "[s]\nk\n", "s", "k", "<default>"},
      {"double quotes stripped", "[s]\nk= \"a b\" \n", "s", "k", "a b"},
      {"single quotes stripped", "[s]\nk='x'\n", "s", "k", "x"},
      {"only one pair stripped", "[s]\nk=\"\"x\"\"\n", "s", "k", "\"x\""},
      {"mixed quotes kept", "[s]\nk=\"x'\n", "s", "k", "\"x'"},
      {"lone quote kept", "[s]\nk=\"\n", "s", "k", "\""},
      {"inner blanks of quotes kept", "[s]\nk=\" x \"\n", "s", "k", " x "},
      {"first section wins", "[s]\na=1\n[S]\na=2\nb=3\n", "s", "b", "<default>"},
      {"repeat keeps first value", "[s]\na=1\n[S]\na=2\n", "s", "a", "1"},
      {"first key wins", "[s]\nk=1\nK=2\n", "s", "k", "1"},
      {"lines before header ignored", "k=v\n[s]\n", "s", "k", "<default>"},
      {"CR LF endings", "[s]\r\nk=v\r\nn=w\r\n", "s", "n", "w"},
      {"lone CR endings", "[s]\rk=v\rn=w", "s", "n", "w"},
      {"blank lines skipped", "\n\n[s]\n\r\n\nk=v", "s", "k", "v"},
      {"UTF-8 BOM skipped", "\xEF\xBB\xBF[s]\nk=v\n", "s", "k", "v"},
      {"UTF-16LE decoded", std::string("\xFF\xFE[\0s\0]\0\n\0k\0=\0\xFC\0\n\0", 18), "s", "k",
       "\xC3\xBC"},
      {"code page bytes pass", "[s\xE4]\nk=\xFC\x80\n", "S\xE4", "K", "\xFC\x80"},
      {"NUL inside key", std::string("[s]\na\0b=1\na=2\n", 14), "s", "a", "2"},
      {"missing section", "[s]\nk=v\n", "t", "k", "<default>"},
      {"empty file", "", "s", "k", "<default>"},
  };
  for (const LookupCase& c : cases) {
    const ProfileData data = ParseProfile(DecodeProfileText(c.text));
    EXPECT_EQ(ProfileString(data, c.section, c.key, "<default>", 1000), c.expected) << c.label;
  }
}

TEST(ProfileReaderTest, ListsEachSectionOnceAsFirstWritten) {
  const ProfileData data = ParseProfile("k=v\n[ Job\t]\n[other\n[JOB]\n[]\n[Other] x\n");
  EXPECT_EQ(data.sectionNames, (std::vector<std::string>{"Job", "other", ""}));
}

TEST(ProfileReaderTest, DecodesUtf16LeWithoutTrustingIt) {
  const struct {
    const char* label;
    std::string raw;
    std::string expected;
  } cases[] = {
      {"mark only", "\xFF\xFE", ""},
      {"surrogate pair", std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), "\xF0\x9F\x98\x80"},
      {"three-byte letter", "\xFF\xFE\xAC\x20", "\xE2\x82\xAC"},
      {"lone high surrogate", std::string("\xFF\xFE\x3D\xD8x\0", 6), "\xEF\xBF\xBDx"},
      {"lone low surrogate", std::string("\xFF\xFE\x00\xDE", 4), "\xEF\xBF\xBD"},
      {"odd trailing byte", std::string("\xFF\xFEk\0=", 5), "k\xEF\xBF\xBD"},
      {"NUL unit kept", std::string("\xFF\xFE\0\0", 4), std::string("\0", 1)},
      {"FE FF is not decoded", "\xFE\xFFk", "\xFE\xFFk"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeProfileText(c.raw), c.expected) << c.label;
}

TEST(ProfileReaderTest, CutsResultToSizeMinusOne) {
  const ProfileData data = ParseProfile("[s]\nk=abcd\n");
  const struct {
    const char* label;
    const char* key;
    std::size_t size;
    const char* expected;
  } cases[] = {
      {"size 0", "k", 0, ""},          {"size 1", "k", 1, ""},
      {"one short", "k", 4, "abc"},    {"exactly full", "k", 5, "abcd"},
      {"default cut", "x", 3, "DE"},   {"default whole", "x", 4, "DEF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProfileString(data, "s", c.key, "DEF", c.size), c.expected) << c.label;
  }
}

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/profile_reader_test_XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    path_ = pattern;
    const std::string text = "[Job]\r\nSQL001=select 1\r\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_;
};

TEST_F(ProfileFileTest, PlatformCallCopiesTerminatedValue) {
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(GetPrivateProfileStringA("job", "sql001", "", buffer, 5, path_.c_str()), 4u);
  EXPECT_STREQ(buffer, "sele");
  EXPECT_EQ(GetPrivateProfileStringA("job", "SQL002", "dflt", buffer, 8, path_.c_str()), 4u);
  EXPECT_STREQ(buffer, "dflt");
  EXPECT_EQ(GetPrivateProfileStringA("job", "SQL001", "dflt", buffer, 8, "/nonexistent/x.ini"), 4u);
  EXPECT_STREQ(buffer, "dflt");
  buffer[0] = 'z';
  EXPECT_EQ(GetPrivateProfileStringA("job", "SQL001", "", buffer, 0, path_.c_str()), 0u);
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(ProfileFileTest, LoadFailsForMissingFileAndDirectory) {
  ProfileData data = ParseProfile("[old]\nk=v\n");
  EXPECT_TRUE(LoadProfile(path_, data));
  EXPECT_EQ(ProfileString(data, "JOB", "SQL001", "", 100), "select 1");
  EXPECT_FALSE(LoadProfile("/nonexistent/x.ini", data));
  EXPECT_TRUE(data.sections.empty());
  EXPECT_FALSE(LoadProfile("/tmp", data));
}

// Random bytes stand in for a damaged file; a section appended behind them
// must still be found, so the parser resynchronises at the next line.
TEST(ProfileReaderTest, SurvivesGarbageAndHugeLines) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 200; ++round) {
    std::string raw(random() % 4096, '\0');
    for (char& c : raw) c = static_cast<char>(random() & 0xFF);
    if (round % 2 == 0) raw.insert(0, "\xFF\xFE");
    const ProfileData data = ParseProfile(DecodeProfileText(raw) + "\n[zz9good]\nk=v\n");
    EXPECT_EQ(ProfileString(data, "zz9good", "k", "", 10), "v") << "round " << round;
  }
  const std::string huge(100 * 1024, 'x');
  const ProfileData data = ParseProfile("[s]\nk=" + huge + "\n" + "[" + huge);
  EXPECT_EQ(ProfileString(data, "s", "k", "", 200), std::string(199, 'x'));
  EXPECT_EQ(ProfileString(data, huge, "k", "none", 200), "none");
}

}  // namespace
}  // namespace korvadex
