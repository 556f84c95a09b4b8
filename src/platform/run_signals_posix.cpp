// What a run does on Linux when it is asked to stop: the signal watcher and
// the standard streams of the process.
#include "platform/run_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

#include "platform/child_process.h"

namespace korvadex {

namespace {

// Process-wide by nature: a signal reaches the process, not a module.
std::atomic<bool> isWatchEnding{false};

// The watcher is woken with this one to end; it is not a stop request.
constexpr int kWakeSignal = SIGUSR2;

sigset_t WatchedSignals(SignalRole role) {
  sigset_t set;
  sigemptyset(&set);
  if (role == SignalRole::Run) {
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
  } else {
    sigaddset(&set, CancelRequestSignal());
  }
  sigaddset(&set, kWakeSignal);
  return set;
}

void Watch(sigset_t set, SignalRole role) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == kWakeSignal) {
      if (isWatchEnding.load()) return;
      continue;
    }
    TakeStopRequest(signal, role == SignalRole::Run);
  }
}

}  // namespace

SignalWatch::~SignalWatch() {
  if (!watcher_.joinable()) return;
  isWatchEnding.store(true);
  ::pthread_kill(watcher_.native_handle(), kWakeSignal);
  watcher_.join();
}

bool SignalWatch::Start(SignalRole role) {
  const sigset_t set = WatchedSignals(role);
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return false;
  try {
    watcher_ = std::thread(Watch, set, role);
  } catch (const std::system_error&) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  return true;
}

bool SignalWatch::StartWithoutThread() {
  struct sigaction action {};
  action.sa_handler = [](int signal) { NoteStopRequest(signal); };
  sigemptyset(&action.sa_mask);
  // A driver call that the signal interrupts goes on as if nothing happened.
  action.sa_flags = SA_RESTART;
  return ::sigaction(CancelRequestSignal(), &action, nullptr) == 0;
}

void PrepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // open() takes the lowest free number, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  ::signal(SIGPIPE, SIG_IGN);
  // A write past the file size limit (ulimit -f) then fails with EFBIG like
  // one on a full disk, and the run cuts back and reports it, instead of
  // being killed halfway through an append.
  ::signal(SIGXFSZ, SIG_IGN);
}

// The signals keep their own action until the watch blocks them.
void HoldStopsFromTheStart() {}

}  // namespace korvadex
