// The run's deadlines: the watch that ends a run whose database or network
// stops answering, or that does not end within the grace after a stop.
#include "driver/deadline.h"

#include <cstdio>
#include <system_error>

#include "platform/run_signals.h"

namespace korvadex {

namespace {

const char* PhaseName(DeadlinePhase phase) {
  switch (phase) {
    case DeadlinePhase::Connect:
      return "connect";
    case DeadlinePhase::Execute:
      return "execute";
    case DeadlinePhase::Fetch:
      return "fetch";
    case DeadlinePhase::Sort:
      return "sort";
    case DeadlinePhase::Write:
      return "write";
  }
  return "";
}

}  // namespace

void DeadlineWatch::Start(const DeadlineSettings& settings, std::function<void()> endDriver,
                          std::function<void()> endRun) {
  settings_ = settings;
  start_ = std::chrono::steady_clock::now();
  endDriver_ = std::move(endDriver);
  endRun_ = std::move(endRun);
  std::lock_guard<std::mutex> lock(mutex_);
  isStarted_ = true;
  // Without a deadline the thread waits for a stop: a run that is never
  // stopped keeps the address space of its stack.
  if (settings.connectSeconds != 0 || settings.runSeconds != 0 || isStopNoted_) StartWatcher();
}

void DeadlineWatch::NoteStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    isStopNoted_ = true;
    if (isStarted_ && !isStopping_ && !watcher_.joinable()) StartWatcher();
  }
  wake_.notify_all();
}

void DeadlineWatch::StartWatcher() {
  try {
    watcher_ = std::thread(&DeadlineWatch::Watch, this);
  } catch (const std::system_error&) {
    // Without a thread the run goes on unwatched; the driver's own timeouts
    // still apply, and a second stop signal still ends it.
  }
}

void DeadlineWatch::SetPhase(DeadlinePhase phase) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
  }
  wake_.notify_all();
}

void DeadlineWatch::Stop() {
  std::thread watcher;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    isStopping_ = true;
    watcher = std::move(watcher_);
  }
  wake_.notify_all();
  if (watcher.joinable()) watcher.join();
}

std::string DeadlineWatch::TraceLine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasPassed_) return "";
  char line[160];
  std::snprintf(line, sizeof line, "Zeitlimit %s=%d abgelaufen in Phase %s\n",
                wasConnectLimit_ ? kConnectVariable : kRunVariable,
                wasConnectLimit_ ? settings_.connectSeconds : settings_.runSeconds, PhaseName(passedIn_));
  return line;
}

bool DeadlineWatch::PassedDeadline(std::string& variable, int& seconds, std::string& phase) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasPassed_) return false;
  variable = wasConnectLimit_ ? kConnectVariable : kRunVariable;
  seconds = wasConnectLimit_ ? settings_.connectSeconds : settings_.runSeconds;
  phase = PhaseName(passedIn_);
  return true;
}

void DeadlineWatch::Watch() {
  using std::chrono::seconds;
  const auto runDue = start_ + seconds(settings_.runSeconds);
  const auto connectDue = start_ + seconds(settings_.connectSeconds);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (isStopping_) return;
    if (isStopNoted_) break;
    const bool isConnectDue = settings_.connectSeconds > 0 && phase_ == DeadlinePhase::Connect;
    const bool isRunDue = settings_.runSeconds > 0;
    if (!isConnectDue && !isRunDue) {
      wake_.wait(lock);
      continue;
    }
    wasConnectLimit_ = isConnectDue && (!isRunDue || connectDue <= runDue);
    const auto due = wasConnectLimit_ ? connectDue : runDue;
    if (std::chrono::steady_clock::now() >= due) {
      hasPassed_ = true;
      passedIn_ = phase_;
      lock.unlock();
      // The same way as a stop signal: the statement is cancelled, and every
      // later step, the writer's too, leaves the target as it was.
      TakeStopRequest(kDeadlineStop, false);
      lock.lock();
      break;
    }
    wake_.wait_until(lock, due);
  }
  if (!AwaitStopFor(lock, kCancelGrace)) return;
  // A run blocked in its own work (a credentials file or a target that is a
  // pipe nobody reads, a hung network file system) never sees its next
  // check: it is ended as one whose driver does not answer. The actions run
  // unlocked, since they may ask for the trace line; Stop waits all the same.
  const bool isDriverPhase =
      phase_ == DeadlinePhase::Connect || phase_ == DeadlinePhase::Execute || phase_ == DeadlinePhase::Fetch;
  if (isDriverPhase && endDriver_) {
    lock.unlock();
    endDriver_();
    lock.lock();
    if (!AwaitStopFor(lock, kKilledDriverGrace)) return;
  }
  lock.unlock();
  endRun_();
}

bool DeadlineWatch::AwaitStopFor(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::duration grace) {
  const auto graceEnd = std::chrono::steady_clock::now() + grace;
  while (!isStopping_ && wake_.wait_until(lock, graceEnd) != std::cv_status::timeout) {
  }
  return !isStopping_;
}

}  // namespace korvadex
