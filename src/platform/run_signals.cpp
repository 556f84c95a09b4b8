// The stop request and the cancel action, shared by the Linux signal watcher
// and the Windows console handler.
#include "platform/run_signals.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace korvadex {

namespace {

// Process-wide by nature: a signal or console event reaches the process, not a module.
// Lock-free, so that a signal handler may set it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::mutex cancelMutex;
std::function<void()> cancelAction;  // guarded by cancelMutex

}  // namespace

void TakeStopRequest(int signal, bool isSecondFatal) {
  int expected = 0;
  if (!stopSignal.compare_exchange_strong(expected, signal) && isSecondFatal && expected != kDeadlineStop) {
    // A second request: the run is not ending fast enough for its caller.
    std::_Exit(128 + expected);
  }
  std::lock_guard<std::mutex> lock(cancelMutex);
  if (cancelAction) cancelAction();
}

void NoteStopRequest(int signal) {
  int expected = 0;
  stopSignal.compare_exchange_strong(expected, signal);
}

int StopSignal() { return stopSignal.load(); }

int ExitCodeAfterLateStop(int exitCode) {
  // 1 and 2 end the run before anything can be stopped; 0 and 8 leave a
  // written file, 9 and up were decided by a deadline or a stop already.
  const int signal = stopSignal.load();
  if (signal > 0 && exitCode >= 3 && exitCode <= 7) return 128 + signal;
  return exitCode;
}

void SetCancelAction(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(cancelMutex);
  cancelAction = std::move(action);
}

}  // namespace korvadex
