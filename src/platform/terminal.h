// The terminal a person may be watching the run from (standard error) or
// typing a secret at (standard input).
#ifndef KORVADEX_PLATFORM_TERMINAL_H_
#define KORVADEX_PLATFORM_TERMINAL_H_

#include <memory>
#include <string_view>

namespace korvadex {

// The descriptor of standard input.
inline constexpr int kStandardInput = 0;

// True when standard error is a terminal that shows the progress line's
// control sequences; job scripts and logs are not.
bool IsErrorStreamTerminal();

// Writes `text` to standard error as it is, ignoring failures: what goes
// there is only for a person's eyes.
void WriteToErrorStream(std::string_view text);

// True when standard input is a terminal (a console on Windows).
bool IsInputTerminal();

// Keeps what is typed at the terminal on standard input from showing, for
// its lifetime; does nothing when standard input is no terminal. Meanwhile a
// signal that would end the process (SIGINT, SIGTERM, SIGHUP; on Windows
// Ctrl-C, Ctrl-Break and closing the console) first turns the echo back on,
// ends the line and exits with 128 + the signal's number (130 for Ctrl-C on
// Windows too). On Linux a signal that was ignored stays ignored.
class NoEchoInput {
 public:
  NoEchoInput();
  ~NoEchoInput();
  NoEchoInput(const NoEchoInput&) = delete;
  NoEchoInput& operator=(const NoEchoInput&) = delete;

 private:
  struct Saved;                   // the terminal settings to restore
  std::unique_ptr<Saved> saved_;  // empty when nothing was changed
};

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_TERMINAL_H_
