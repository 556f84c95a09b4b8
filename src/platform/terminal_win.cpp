// The terminal on Windows: the console, whose echo is switched off for the
// hidden password entry and which shows the progress line's control
// sequences once asked to (Windows 10 and later).
#include "platform/terminal.h"

#include "platform/file_io.h"
#include "platform/win32_util.h"

namespace korvadex {

struct NoEchoInput::Saved {
  DWORD mode = 0;
};

bool IsErrorStreamTerminal() {
  const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(console, &mode)) return false;
  // Without the terminal sequences the line would show as garbage.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void WriteToErrorStream(std::string_view text) {
  [[maybe_unused]] const bool isWritten = WriteAll(2, text.data(), text.size());
}

bool IsInputTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

NoEchoInput::NoEchoInput() {
  const HANDLE console = ::GetStdHandle(STD_INPUT_HANDLE);
  auto saved = std::make_unique<Saved>();
  if (!::GetConsoleMode(console, &saved->mode)) return;
  if (::SetConsoleMode(console, saved->mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) saved_ = std::move(saved);
}

NoEchoInput::~NoEchoInput() {
  if (saved_) ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
}

}  // namespace korvadex
