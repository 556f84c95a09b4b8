// What a run does on Windows when it is asked to stop: a console control
// handler in place of the signal watcher, and the standard streams.
#include "platform/run_signals.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>

namespace korvadex {

namespace {

// Ctrl-C stands for SIGINT as on a Linux terminal; Ctrl-Break, closing the
// console, logging off and shutting down end a run as SIGTERM does there.
int SignalOf(DWORD event) { return event == CTRL_C_EVENT ? SIGINT : SIGTERM; }

// Called by the system on a thread of its own, as the Linux watcher runs on one.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  TakeStopRequest(SignalOf(event), true);
  // Windows ends the process as soon as the handler of these events returns;
  // waiting here gives the run the few seconds Windows grants to leave the
  // file as it was and end by itself.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::Sleep(INFINITE);
  }
  return TRUE;
}

bool IsOpenDescriptor(int fd) {
  const intptr_t handle = ::_get_osfhandle(fd);
  // -2: the process has no console, so the stream has nothing behind it.
  return handle != -1 && handle != -2;
}

}  // namespace

SignalWatch::~SignalWatch() {
  if (isHandling_) ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

bool SignalWatch::Start(SignalRole role) {
  // No driver child runs on Windows; its watch has nothing to do.
  if (role != SignalRole::Run) return true;
  isHandling_ = ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
  return isHandling_;
}

// No driver child runs on Windows.
bool SignalWatch::StartWithoutThread() { return true; }

void PrepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (IsOpenDescriptor(fd)) continue;
    const int opened = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::_dup2(opened, fd);
      ::_close(opened);
    }
  }
}

}  // namespace korvadex
