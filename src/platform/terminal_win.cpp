// The terminal on Windows: the console, whose echo is switched off for the
// hidden password entry and which shows the progress line's control
// sequences once asked to (Windows 10 and later).
#include "platform/terminal.h"

#include "platform/file_io.h"
#include "platform/win32_util.h"

namespace korvadex {

namespace {

// Ctrl-C ends the process with the code a shell gives it on Linux (128 + SIGINT).
constexpr UINT kInterruptedExitCode = 130;

// The console mode to put back from the control handler, which can reach
// nothing but a static; set before the handler is added.
DWORD modeToRestore = 0;

// Runs on a thread of its own while the main thread waits in the read. The
// console's mode outlives the process, so it must be put back first.
BOOL WINAPI RestoreEchoAndExit(DWORD event) {
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), modeToRestore);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // the system ends the process
  WriteToErrorStream("\n");
  ::ExitProcess(kInterruptedExitCode);
}

}  // namespace

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
  modeToRestore = saved->mode;
  const bool hasHandler = ::SetConsoleCtrlHandler(RestoreEchoAndExit, TRUE) != 0;
  if (!::SetConsoleMode(console, saved->mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
    if (hasHandler) ::SetConsoleCtrlHandler(RestoreEchoAndExit, FALSE);
    return;
  }
  saved_ = std::move(saved);
}

NoEchoInput::~NoEchoInput() {
  if (!saved_) return;
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
  ::SetConsoleCtrlHandler(RestoreEchoAndExit, FALSE);
}

}  // namespace korvadex
