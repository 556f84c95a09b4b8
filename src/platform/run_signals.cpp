// The stop request and the cancel action, shared by the Linux signal watcher
// and the Windows console handler.
#include "platform/run_signals.h"

#include <atomic>
#include <csignal>
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
std::function<void()> stopListener;  // guarded by cancelMutex
std::mutex forcedEndMutex;
std::function<void()> forcedEndAction;  // guarded by forcedEndMutex

}  // namespace

void SetStopListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(cancelMutex);
  stopListener = std::move(listener);
}

void SetForcedEndAction(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(forcedEndMutex);
  forcedEndAction = std::move(action);
}

void ForceEnd() {
  {
    // Held for good once the action runs: it ends the process, and a second
    // caller or the run's clearing waits for that.
    forcedEndMutex.lock();
    if (forcedEndAction) forcedEndAction();
  }
  const int first = stopSignal.load();
  std::_Exit(128 + (first > 0 ? first : SIGTERM));
}

void TakeStopRequest(int signal, bool isSecondFatal) {
  int expected = 0;
  if (!stopSignal.compare_exchange_strong(expected, signal) && isSecondFatal) {
    // A second request, or a signal after a deadline: the run is not ending
    // fast enough for its caller.
    ForceEnd();
  }
  std::lock_guard<std::mutex> lock(cancelMutex);
  if (cancelAction) cancelAction();
  if (stopListener) stopListener();
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
