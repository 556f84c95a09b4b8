// The run driver: command line, banner and usage, and the fixed sequence of
// steps from the credentials to the count line.
#ifndef KORVADEX_DRIVER_RUN_H_
#define KORVADEX_DRIVER_RUN_H_

#include <string>

#include "driver/run_context.h"

namespace korvadex {

// The credentials file, relative to the working directory.
inline constexpr const char* kCredentialFile = "../../Files/Kastrovin.Ini";

// The exit codes, which job scripts and schedulers branch on. A run ended by
// SIGTERM, SIGINT or SIGHUP exits with 128 + the signal's number.
inline constexpr int kExitCompleted = 0;       // every row fetched is in the file, or none came back
inline constexpr int kExitTooFewArguments = 1;
inline constexpr int kExitBadReplaceFlag = 2;
inline constexpr int kExitNoStatement = 3;     // the job section gives no statement
inline constexpr int kExitConnectFailed = 4;
inline constexpr int kExitExecuteFailed = 5;
inline constexpr int kExitReadFailed = 6;      // the file is as it was
inline constexpr int kExitWriteFailed = 7;     // not opened, not written or records not held; as it was
inline constexpr int kExitOutputLost = 8;      // standard output failed; the file may be complete
inline constexpr int kExitDeadline = 9;        // a deadline passed; the file is as it was
inline constexpr int kExitStrictCut = 10;      // KORVADEX_STRICT: a value was cut or replaced; as it was

// Checks the command line and captures it into `context`: 0 accepted,
// 1 too few arguments, 2 bad replace flag (banner, message and usage printed).
int ParseArguments(int argc, const char* const* argv, RunContext& context);

void PrintBanner();
void PrintUsage();

// Upper-cases the ASCII letters of `text` in place and returns it.
std::string& UpperCase(std::string& text);

// Reads the four credentials into `context`; missing ones stay empty.
void ReadCredentials(RunContext& context, const std::string& credentialPath);

// One whole run; returns the process exit code.
int RunMain(int argc, const char* const* argv);

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_RUN_H_
