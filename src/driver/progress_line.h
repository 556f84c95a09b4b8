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

// Draws the line on standard error from a thread of its own, at most four
// times a second, while the run only stores its figures: the run never
// waits for the terminal. Does nothing when standard error is no terminal.
class ProgressLine {
 public:
  ProgressLine() = default;
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Starts drawing when standard error is a terminal.
  void Start();

  void SetPhase(RunPhase phase) { phase_.store(static_cast<int>(phase), std::memory_order_relaxed); }
  void SetRows(std::int64_t rows) { rows_.store(rows, std::memory_order_relaxed); }
  void SetSpilled(std::uint64_t runs, std::uint64_t bytes) {
    spilledRuns_.store(runs, std::memory_order_relaxed);
    spilledBytes_.store(bytes, std::memory_order_relaxed);
  }

  // Stops drawing and clears the line, before the run's last messages.
  void Stop();

 private:
  void Draw();

  std::atomic<int> phase_{0};
  std::atomic<std::int64_t> rows_{0};
  std::atomic<std::uint64_t> spilledRuns_{0};
  std::atomic<std::uint64_t> spilledBytes_{0};
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool isStopping_ = false;  // guarded by mutex_
  std::thread drawer_;
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_PROGRESS_LINE_H_
