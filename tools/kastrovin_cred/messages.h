// kastrovin-cred's exit codes, usage text and error messages, shared by its
// commands so that every one reports in the same form.
#ifndef KORVADEX_TOOLS_KASTROVIN_CRED_MESSAGES_H_
#define KORVADEX_TOOLS_KASTROVIN_CRED_MESSAGES_H_

#include <string>

namespace korvadex::cred {

// Exit codes; scripts tell the failures apart by them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitWarnings = 1;     // check: the file works, but probably not as meant
inline constexpr int kExitUsage = 2;        // wrong command line, or check could not read the file
inline constexpr int kExitBadValue = 3;     // a value that the credentials file cannot hold
inline constexpr int kExitNoInput = 4;      // no value could be read
inline constexpr int kExitFileExists = 5;   // init without --force on an existing file
inline constexpr int kExitWriteFailed = 6;  // init could not create or write the file
inline constexpr int kExitNoConnection = 7; // check --connect: the database refused the connect
inline constexpr int kExitDriverEnded = 8;  // check --connect: the ODBC driver process ended without its answer

// The usage text; how init restricts the file and how the default path is
// written differ between the systems.
std::string Usage();

// Prints "kastrovin-cred: MESSAGE" on standard error.
void PrintError(const std::string& message);

// Prints `message` and the hint to --help; returns kExitUsage.
int UsageError(const std::string& message);

}  // namespace korvadex::cred

#endif  // KORVADEX_TOOLS_KASTROVIN_CRED_MESSAGES_H_
