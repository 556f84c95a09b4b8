// The run driver: command line, banner and usage, and the fixed sequence of
// steps from the credentials to the count line.
#ifndef KORVADEX_DRIVER_RUN_H_
#define KORVADEX_DRIVER_RUN_H_

#include <string>

#include "driver/run_context.h"

namespace korvadex {

// The credentials file, relative to the working directory.
inline constexpr const char* kCredentialFile = "../../Files/Kastrovin.Ini";

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
