// Tests for ScrubSecret: which parts of a driver's message are masked.
#include "credentials/secret_scrub.h"

#include <gtest/gtest.h>

namespace korvadex {
namespace {

TEST(SecretScrubTest, MasksEveryRunOfTwelveCharactersAndShortSecretsWhole) {
  struct Row {
    const char* label;
    std::string text;
    std::string secret;
    std::string expected;
  };
  const Row rows[] = {
      {"empty secret", "user x failed", "", "user x failed"},
      {"short secret whole", "pwd=abc; abc again; ab", "abc", "pwd=***; *** again; ab"},
      {"long secret whole", "pwd=0123456789abcdef end", "0123456789abcdef", "pwd=**************** end"},
      {"twelve of a longer one", "x 3456789abcde y", "0123456789abcdef", "x ************ y"},
      {"eleven of a longer one stay", "x 3456789abcd y", "0123456789abcdef", "x 3456789abcd y"},
      {"exactly twelve", "[0123456789ab]", "0123456789ab", "[************]"},
      {"overlapping copies", "aaaaaaaaaaaaaaa", "aaaaaaaaaaaaa", "***************"},
  };
  for (const Row& row : rows) {
    std::string text = row.text;
    ScrubSecret(text, row.secret);
    EXPECT_EQ(text, row.expected) << row.label;
  }
}

}  // namespace
}  // namespace korvadex
