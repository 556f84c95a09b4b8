// One line on the terminal that shows how a long run gets on, for a person
// watching it; nothing at all for job scripts and logs.
#ifndef KORVADEX_DRIVER_PROGRESS_LINE_H_
#define KORVADEX_DRIVER_PROGRESS_LINE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "output/record_list.h"

namespace korvadex {

enum class RunPhase : int { Fetching, Sorting, Writing };

// What the line shows at one moment.
struct ProgressFigures {
  RunPhase phase = RunPhase::Fetching;
  std::int64_t rows = 0;
  double seconds = 0;         // since the run started
  std::uint64_t spilledRuns = 0;
  std::uint64_t spilledBytes = 0;
};

// The text of the line for `figures`, without the carriage return.
std::string FormatProgress(const ProgressFigures& figures);

// How long each step of a run took, for the /D trace: connect and execute,
// fetch (with the formatting, storing and spilling that overlap it), sort
// (what the spill leaves of it) and write (with the flush to disk).
struct PhaseTimes {
  double beforeFetch = 0;
  double fetching = 0;
  double sorting = 0;
  double writing = 0;
};

// The /D trace line for `times`, with its line feed.
std::string FormatPhaseTimes(const PhaseTimes& times);

// Draws the line on standard error from a thread of its own, at most four
// times a second, while the run only stores its figures: the run never
// waits for the terminal. Does nothing when standard error is no terminal.
// It also keeps the time of each phase, terminal or not.
class ProgressLine {
 public:
  ProgressLine() : start_(std::chrono::steady_clock::now()) {}
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // The fetch begins. Starts drawing when `mayDraw` and standard error is a
  // terminal; the spill figures come from `list`, which must outlive the
  // drawing (or be null).
  void Start(const ListProgress* list, bool mayDraw);

  // From the run's own thread only.
  void SetPhase(RunPhase phase);
  void SetRows(std::int64_t rows) { rows_.store(rows, std::memory_order_relaxed); }

  // Stops drawing and clears the line, before the run's last messages; the
  // phase under way ends here.
  void Stop();

  // The phases so far, once stopped; none before Start.
  bool hasStarted() const { return hasStarted_; }
  const PhaseTimes& phaseTimes() const { return times_; }

 private:
  void Draw();

  std::atomic<int> phase_{0};
  std::atomic<std::int64_t> rows_{0};
  const ListProgress* list_ = nullptr;
  void EndPhase();

  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point phaseStart_;  // the run's thread only
  double* phaseTime_ = nullptr;                        // where the phase under way is counted
  PhaseTimes times_;
  bool hasStarted_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool isStopping_ = false;  // guarded by mutex_
  std::thread drawer_;
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_PROGRESS_LINE_H_
