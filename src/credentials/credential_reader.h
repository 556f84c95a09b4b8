// The credentials file reader: finds the first two-line entry that matches a
// request and decrypts its value.
#ifndef KORVADEX_CREDENTIALS_CREDENTIAL_READER_H_
#define KORVADEX_CREDENTIALS_CREDENTIAL_READER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvadex {

// One entry of the credentials file; `value` holds the decrypted value after a match.
struct CredentialEntry {
  std::int32_t number = 0;
  std::string matchText;  // at most 200 characters
  std::string keyName;    // at most 200 characters
  std::string value;      // at most 200 characters of hex text before decryption
  int firstLine = 0;      // 1-based line number of the entry's first line; 0 when cleared
};

// Position of the n-th `character` in `text`; the last one when there are fewer
// than n; -1 when there is none.
std::int32_t FindNthChar(std::string_view text, char character, std::int32_t n);

// `length` characters of `text` from `start`; length 0 means to the end, a
// negative length gives the empty text.
std::string CopySubstring(std::string_view text, std::int32_t start, std::int32_t length);

// The file's text as a text-mode reader sees it: ends at the first byte 26,
// CR LF becomes LF.
std::string TextModeContent(std::string_view raw);

// One entry as it was read, before matching; used by the operators' check.
struct RawCredentialEntry {
  CredentialEntry fields;   // value still the hex text
  bool firstLineCut = false;   // first line cut at 199 characters, its rest read as the next line
  bool secondLineCut = false;  // second line cut at 399 characters, its rest read as the next line
};

// Splits text-mode content into entries with the line limits of the reader
// (199 and 399 characters, the remainder of a longer line becoming the next line).
std::vector<RawCredentialEntry> SplitCredentialEntries(std::string_view content);

// Searches text-mode content for the first matching entry (match text, key name
// or number: any one is enough) and returns it with its value decrypted, or a
// cleared entry when nothing matches.
CredentialEntry FindCredential(std::string_view content, std::string_view matchText,
                               std::string_view keyName, std::int32_t number);

// Reads the file at `path` and resolves one request as FindCredential does; a
// file that cannot be read gives a cleared entry. The file is only opened for reading.
CredentialEntry ReadCredential(std::string_view matchText, std::string_view keyName,
                               std::int32_t number, const std::string& path);

}  // namespace korvadex

#endif  // KORVADEX_CREDENTIALS_CREDENTIAL_READER_H_
