// The terminal on Linux: isatty, and termios for the hidden password entry.
#include "platform/terminal.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iterator>

#include "platform/file_io.h"

namespace korvadex {

namespace {

// The signals that end a process waiting at a prompt: Ctrl-C, kill, and the
// terminal going away.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The settings to put back from the signal handler, which can reach nothing
// but a static; set before the handler is installed, so it never sees them
// half written.
termios settingsToRestore{};

void RestoreEchoAndExit(int signal) {
  // Both calls are async-signal-safe. TCSANOW: a reader that has stopped
  // reading the terminal must not keep the handler waiting for output to drain.
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settingsToRestore);
  // The Enter that would have ended the prompt's line never came.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, "\n", 1);
  ::_exit(128 + signal);
}

using SignalActions = struct sigaction[std::size(kEndingSignals)];

void PutBackActions(const SignalActions& oldActions) {
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) ::sigaction(kEndingSignals[i], &oldActions[i], nullptr);
}

}  // namespace

struct NoEchoInput::Saved {
  termios settings{};
  SignalActions oldActions = {};
};

bool IsErrorStreamTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void WriteToErrorStream(std::string_view text) {
  [[maybe_unused]] const bool isWritten = WriteAll(STDERR_FILENO, text.data(), text.size());
}

bool IsInputTerminal() { return ::isatty(STDIN_FILENO) == 1; }

NoEchoInput::NoEchoInput() {
  auto saved = std::make_unique<Saved>();
  if (::tcgetattr(STDIN_FILENO, &saved->settings) != 0) return;
  settingsToRestore = saved->settings;
  struct sigaction action {};
  action.sa_handler = RestoreEchoAndExit;
  // A second signal must not cut into the first one's restoring.
  ::sigemptyset(&action.sa_mask);
  for (const int signal : kEndingSignals) ::sigaddset(&action.sa_mask, signal);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    ::sigaction(kEndingSignals[i], nullptr, &saved->oldActions[i]);
    // A signal ignored from the start (nohup, a background job) stays ignored.
    if (saved->oldActions[i].sa_handler != SIG_IGN) ::sigaction(kEndingSignals[i], &action, nullptr);
  }
  termios quiet = saved->settings;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
    PutBackActions(saved->oldActions);
    return;
  }
  saved_ = std::move(saved);
}

NoEchoInput::~NoEchoInput() {
  if (!saved_) return;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->settings);
  // Only after the echo is back: a signal in between still finds the handler.
  PutBackActions(saved_->oldActions);
}

}  // namespace korvadex
