// The operators' view of a credentials file: how korvadex will resolve its four
// keys and what probably went wrong, and the content of a new, well-formed file.
#ifndef KORVADEX_CHECKS_CREDENTIAL_CHECK_H_
#define KORVADEX_CHECKS_CREDENTIAL_CHECK_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/credential_reader.h"

namespace korvadex {

// The keys korvadex asks for, in the order it asks.
inline constexpr std::array<std::string_view, 4> kDriverCredentialKeys = {"DATABASE", "LOGIN", "PASS",
                                                                          "DB_SYSTEM"};

// The longest plain value whose hex text still fits the reader's 200-character
// value field: 12 blocks of 8 bytes give 192 hex characters, 13 would give 208.
inline constexpr std::size_t kPlainValueLimit = 96;

// korvadex connects with DATABASE only when it has 1 to 41 characters.
inline constexpr std::size_t kDataSourceLimit = 41;

// Files are shared with installations whose job definition path has room for
// no longer DB_SYSTEM.
inline constexpr std::size_t kDbSystemLimit = 24;

// How one key resolves.
struct KeyResolution {
  std::string key;        // the key korvadex asks for
  CredentialEntry entry;  // the entry taken, value decrypted; firstLine 0 when none matches
  std::string hexText;    // the taken entry's value as stored
};

// The result of checking a credentials file's content.
struct CredentialCheck {
  std::vector<KeyResolution> keys;    // one per key of kDriverCredentialKeys, same order
  std::vector<std::string> warnings;  // one sentence each; never holds a password
  std::vector<std::string> notes;     // information that is no warning, one sentence each
};

// Resolves the four keys in text-mode `content` exactly as korvadex does and
// collects the warnings that the content alone can give.
CredentialCheck CheckCredentialContent(std::string_view content);

// The decrypted DB_SYSTEM value, or the empty text when no entry gives one.
std::string ResolvedDbSystem(const CredentialCheck& check);

// True when DB_SYSTEM resolved to an entry, so a job definition file can be looked for.
bool HasDbSystem(const CredentialCheck& check);

// `jobPath` as a report may show it: masked when DB_SYSTEM was taken from the
// password's entry, since the path then holds the password.
std::string ShownJobPath(const CredentialCheck& check, std::string_view jobPath);

// Adds the warning for a job definition file that `jobPath` does not name.
void AddJobFileFinding(CredentialCheck& check, std::string_view jobPath, bool isFound);

// Adds the warning for a file that every user of the machine may read.
void AddPermissionFinding(CredentialCheck& check, std::string_view path, unsigned mode);

// Adds the note for a file whose readers cannot be told from mode bits
// (Windows, where its access rules decide).
void AddUnjudgedPermissionNote(CredentialCheck& check, std::string_view path);

// The report that `check` prints: one line per key (a password masked), the job
// definition file when `jobPath` is not empty, the notes, then the warnings.
std::string FormatCheckReport(const CredentialCheck& check, std::string_view credentialPath,
                              std::string_view jobPath, bool isJobFileFound);

// True when `hexText` is upper-case hex of whole 16-character blocks.
bool IsWholeBlockHex(std::string_view hexText);

// The plain values of a new credentials file.
struct InitValues {
  std::string dataSource;
  std::string login;
  std::string password;
  std::string dbSystem;
};

// Why a value cannot be stored under `key`, or the empty text when it can.
std::string CheckPlainValue(std::string_view key, std::string_view value);

// The first reason why `values` cannot be stored, or the empty text when they can.
std::string CheckInitValues(const InitValues& values);

// A credentials file with one entry per key, numbers 1 to 4, each first line
// with a non-empty match text, so every key resolves to its own entry.
std::string BuildCredentialFile(const InitValues& values);

}  // namespace korvadex

#endif  // KORVADEX_CHECKS_CREDENTIAL_CHECK_H_
