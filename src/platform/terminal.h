// The terminal a person may be watching the run from: standard error.
#ifndef KORVADEX_PLATFORM_TERMINAL_H_
#define KORVADEX_PLATFORM_TERMINAL_H_

#include <string_view>

namespace korvadex {

// True when standard error is a terminal; job scripts and logs are not.
bool IsErrorStreamTerminal();

// Writes `text` to standard error as it is, ignoring failures: what goes
// there is only for a person's eyes.
void WriteToErrorStream(std::string_view text);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_TERMINAL_H_
