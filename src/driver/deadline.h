// The run's deadlines: the watch that ends a run whose database or network
// stops answering, or that does not end within the grace after a stop.
#ifndef KORVADEX_DRIVER_DEADLINE_H_
#define KORVADEX_DRIVER_DEADLINE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "db/deadline_settings.h"

namespace korvadex {

// Where the run stands, for the watch and the /D line.
enum class DeadlinePhase : int { Connect, Execute, Fetch, Sort, Write };

// How long the run has to end by itself after a stop signal or a deadline
// (the driver side answering the cancel) before it is ended.
inline constexpr auto kCancelGrace = std::chrono::seconds(3);

// How long a run whose driver process was killed has to end by itself
// before it is ended too: it was waiting for that process, not blocked.
inline constexpr auto kKilledDriverGrace = std::chrono::seconds(2);

// Watches the deadlines, and the run after a stop, on a thread of its own.
// When a deadline passes it notes the stop as a deadline (StopSignal() gives
// kDeadlineStop unless a signal came first), which runs the cancel action.
// A run that has not ended kCancelGrace after a deadline or a stop signal
// (NoteStop) is ended, whatever it is doing: while connecting, executing or
// fetching `endDriver` (if set) ends the driver first and the run gets
// kKilledDriverGrace more; then `endRun`, which does not return, ends it.
class DeadlineWatch {
 public:
  DeadlineWatch() = default;
  ~DeadlineWatch() { Stop(); }
  DeadlineWatch(const DeadlineWatch&) = delete;
  DeadlineWatch& operator=(const DeadlineWatch&) = delete;

  // Starts the watch; the clock of `settings` starts now. Both actions must
  // stay callable until Stop, which waits for them to return.
  void Start(const DeadlineSettings& settings, std::function<void()> endDriver, std::function<void()> endRun);

  // A stop signal came: the grace starts, as at a deadline, on a thread
  // started for it if no deadline has one yet. Any thread.
  void NoteStop();

  // The run enters `phase`; leaving Connect ends the connect deadline.
  void SetPhase(DeadlinePhase phase);

  // Ends the watch; nothing of it runs once this returns. From the run's thread.
  void Stop();

  // The /D line for the deadline that passed, with its line feed; empty when none did.
  std::string TraceLine() const;

  // For the run report: the variable of the deadline that passed, its
  // seconds and the phase it passed in; false when none did.
  bool PassedDeadline(std::string& variable, int& seconds, std::string& phase) const;

 private:
  void Watch();
  // Starts the thread; mutex_ held.
  void StartWatcher();
  // Waits up to `grace` for Stop; false when it came.
  bool AwaitStopFor(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::duration grace);

  DeadlineSettings settings_;
  std::chrono::steady_clock::time_point start_;
  std::function<void()> endDriver_;
  std::function<void()> endRun_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  DeadlinePhase phase_ = DeadlinePhase::Connect;  // guarded by mutex_
  bool isStarted_ = false;                        // guarded by mutex_: Start has run
  bool isStopping_ = false;                       // guarded by mutex_
  bool isStopNoted_ = false;                      // guarded by mutex_: a stop signal came
  std::thread watcher_;                           // guarded by mutex_ once started
  bool hasPassed_ = false;                        // guarded by mutex_
  bool wasConnectLimit_ = false;                  // guarded by mutex_: which deadline passed
  DeadlinePhase passedIn_ = DeadlinePhase::Connect;  // guarded by mutex_
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_DEADLINE_H_
