// The run's deadlines: the settings that give them, and the watch that ends a
// run whose database or network stops answering.
#ifndef KORVADEX_DRIVER_DEADLINE_H_
#define KORVADEX_DRIVER_DEADLINE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korvadex {

// The seconds the operator allows; 0 where no limit is set.
struct DeadlineSettings {
  int connectSeconds = 0;  // KORVADEX_CONNECT_TIMEOUT: for the connect
  int runSeconds = 0;      // KORVADEX_TIMEOUT: for the whole run, connect to the last byte written
};

// Reads one setting's value: true with `seconds` for whole seconds from 0 to
// 2147483647 written as plain digits (0, like an absent or empty value: no
// limit); false with 0 for anything else (a sign, a fraction, a unit, blanks).
bool ParseDeadlineSeconds(const char* text, int& seconds);

// Reads both settings from the environment. A value that cannot be read is
// ignored; `trace` then gets a /D line for it.
DeadlineSettings ReadDeadlineSettings(std::string& trace);

// The driver's own timeouts run this much beyond the run's limits, so that the
// run's clock decides and its grace still sees the driver give up by itself.
// Two seconds, since libpq counts whole seconds of the wall clock and may end
// a connect up to one second early.
inline constexpr int kDriverSlackSeconds = 2;

// The login timeout to give the driver for `settings`, 0 for none: the
// earliest limit plus the slack.
int DriverLoginTimeout(const DeadlineSettings& settings);

// The query timeout to give the driver when `elapsed` of the run has passed,
// 0 for none: what remains of the run plus the slack.
int DriverQueryTimeout(const DeadlineSettings& settings, std::chrono::steady_clock::duration elapsed);

// Where the run stands, for the watch and the /D line.
enum class DeadlinePhase : int { Connect, Execute, Fetch, Sort, Write };

// How long the driver side has to answer the cancel before it is ended.
inline constexpr auto kCancelGrace = std::chrono::seconds(3);

// Watches the deadlines on a thread of its own. When one passes it notes the
// stop as a deadline (StopSignal() gives kDeadlineStop unless a signal came
// first), which runs the cancel action; if the run is still connecting,
// executing or fetching after kCancelGrace, it calls `endDriver` once.
class DeadlineWatch {
 public:
  DeadlineWatch() = default;
  ~DeadlineWatch() { Stop(); }
  DeadlineWatch(const DeadlineWatch&) = delete;
  DeadlineWatch& operator=(const DeadlineWatch&) = delete;

  // Starts the watch when `settings` set a deadline; the clock starts now.
  // `endDriver` must stay callable until Stop, which waits for it to return.
  void Start(const DeadlineSettings& settings, std::function<void()> endDriver);

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

  DeadlineSettings settings_;
  std::chrono::steady_clock::time_point start_;
  std::function<void()> endDriver_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  DeadlinePhase phase_ = DeadlinePhase::Connect;  // guarded by mutex_
  bool isStopping_ = false;                       // guarded by mutex_
  bool hasPassed_ = false;                        // guarded by mutex_
  bool wasConnectLimit_ = false;                  // guarded by mutex_: which deadline passed
  DeadlinePhase passedIn_ = DeadlinePhase::Connect;  // guarded by mutex_
  std::thread watcher_;
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_DEADLINE_H_
