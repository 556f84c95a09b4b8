// What a run does on Windows when it is asked to stop: a console control
// handler in place of the signal watcher, the driver child's wait for the
// parent's cancel event, and the standard streams.
#include "platform/run_signals.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "platform/child_process.h"
#include "platform/win32_util.h"

namespace korvadex {

namespace {

// Ctrl-C stands for SIGINT as on a Linux terminal; Ctrl-Break, closing the
// console, logging off and shutting down end a run as SIGTERM does there.
int SignalOf(DWORD event) { return event == CTRL_C_EVENT ? SIGINT : SIGTERM; }

// Process-wide by nature, as the events it serves: whether a SignalWatch
// has taken the events over from the start of the process.
std::atomic<bool> isWatchStarted{false};

// Called by the system on a thread of its own, as the Linux watcher runs on
// one; set from the start of the process to its end.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  // Before the watch nothing has been done that a stop would have to undo.
  if (!isWatchStarted.load()) std::_Exit(128 + SignalOf(event));
  TakeStopRequest(SignalOf(event), true);
  // Windows ends the process as soon as the handler of these events returns;
  // waiting here gives the run the few seconds Windows grants to leave the
  // file as it was and end by itself.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::Sleep(INFINITE);
  }
  return TRUE;
}

// Process-wide by nature, as the event it serves: whether a cancel request
// runs the cancel action or is only noted.
std::atomic<bool> isCancelActionWanted{false};

// The driver child's watcher: does with each cancel request what the Linux
// child's SIGUSR1 does, until `wake` is set.
void WatchCancelEvent(HANDLE cancel, HANDLE wake) {
  const HANDLE events[2] = {cancel, wake};
  while (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
    if (isCancelActionWanted.load()) {
      TakeStopRequest(CancelRequestSignal(), false);
    } else {
      NoteStopRequest(CancelRequestSignal());
    }
  }
}

bool IsOpenDescriptor(int fd) {
  const intptr_t handle = ::_get_osfhandle(fd);
  // -2: the process has no console, so the stream has nothing behind it.
  return handle != -1 && handle != -2;
}

}  // namespace

SignalWatch::~SignalWatch() {
  // The handler stays: an event after the watch is still noted, for the
  // exit code (ExitCodeAfterLateStop), rather than meeting the system's
  // default handler, which would end the process with a code that passes
  // for success.
  if (watcher_.joinable()) {
    ::SetEvent(wakeEvent_);
    watcher_.join();
  }
  if (wakeEvent_ != nullptr) ::CloseHandle(wakeEvent_);
}

bool SignalWatch::Start(SignalRole role) {
  if (role == SignalRole::DriverChild) {
    isCancelActionWanted.store(true);
    return watcher_.joinable() || StartWithoutThread();
  }
  isHandling_ = ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
  isWatchStarted.store(isHandling_);
  return isHandling_;
}

void HoldStopsFromTheStart() {
  // A process started with CREATE_NEW_PROCESS_GROUP ignores Ctrl-C until it says otherwise.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool SignalWatch::StartWithoutThread() {
  const HANDLE cancel = ParentCancelEvent();
  if (cancel == nullptr || watcher_.joinable()) return false;
  wakeEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wakeEvent_ == nullptr) return false;
  try {
    watcher_ = std::thread(WatchCancelEvent, cancel, static_cast<HANDLE>(wakeEvent_));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

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
