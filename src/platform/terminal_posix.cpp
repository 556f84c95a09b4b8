// The terminal on Linux: isatty, and termios for the hidden password entry.
#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

#include "platform/file_io.h"

namespace korvadex {

struct NoEchoInput::Saved {
  termios settings{};
};

bool IsErrorStreamTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void WriteToErrorStream(std::string_view text) {
  [[maybe_unused]] const bool isWritten = WriteAll(STDERR_FILENO, text.data(), text.size());
}

bool IsInputTerminal() { return ::isatty(STDIN_FILENO) == 1; }

NoEchoInput::NoEchoInput() {
  auto saved = std::make_unique<Saved>();
  if (::tcgetattr(STDIN_FILENO, &saved->settings) != 0) return;
  termios quiet = saved->settings;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0) saved_ = std::move(saved);
}

NoEchoInput::~NoEchoInput() {
  if (saved_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->settings);
}

}  // namespace korvadex
