// kastrovin-cred's input of a value or password: from the terminal without
// echo after a prompt, or one line from standard input; and the wiping of
// secrets once they are used.
#ifndef KORVADEX_TOOLS_KASTROVIN_CRED_PROMPT_H_
#define KORVADEX_TOOLS_KASTROVIN_CRED_PROMPT_H_

#include <string>

namespace korvadex::cred {

// Clears a secret and gives its memory back wiped.
void WipeString(std::string& text);

// Reads a value from standard input: without echo and after a prompt on
// standard error when it is a terminal. Returns 0 or an exit code. A signal
// that ends the tool meanwhile (Ctrl-C) leaves the terminal's echo on.
int ReadInputValue(const char* prompt, std::string& value);

// As ReadInputValue; at a terminal the value is asked twice, since a typing
// error cannot be seen.
int ReadConfirmedValue(const char* prompt, std::string& value);

}  // namespace korvadex::cred

#endif  // KORVADEX_TOOLS_KASTROVIN_CRED_PROMPT_H_
