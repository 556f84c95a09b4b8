// One line on the terminal that shows how a long run gets on.
#include "driver/progress_line.h"

#include <cstdio>
#include <system_error>

#include "platform/terminal.h"

namespace korvadex {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
// Short runs end before the line would be worth reading.
constexpr auto kFirstDraw = std::chrono::milliseconds(500);

const char* PhaseName(RunPhase phase) {
  switch (phase) {
    case RunPhase::Fetching:
      return "fetching";
    case RunPhase::Sorting:
      return "sorting";
    case RunPhase::Writing:
      return "writing";
  }
  return "";
}

}  // namespace

std::string FormatProgress(const ProgressFigures& figures) {
  const double rate = figures.seconds > 0 ? static_cast<double>(figures.rows) / figures.seconds : 0;
  const auto elapsed = static_cast<long long>(figures.seconds);
  char line[200];
  int length = std::snprintf(line, sizeof line, "korvadex: %-8s %lld rows, %.0f rows/s", PhaseName(figures.phase),
                             static_cast<long long>(figures.rows), rate);
  if (figures.spilledRuns > 0 && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                            ", spilled %llu run%s, %.1f MiB", static_cast<unsigned long long>(figures.spilledRuns),
                            figures.spilledRuns == 1 ? "" : "s",
                            static_cast<double>(figures.spilledBytes) / (1024.0 * 1024.0));
  }
  if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), ", %lld:%02lld:%02lld",
                  elapsed / 3600, elapsed / 60 % 60, elapsed % 60);
  }
  return line;
}

std::string FormatPhaseTimes(const PhaseTimes& times) {
  char line[200];
  std::snprintf(line, sizeof line, "korvadex: connect+execute %.3f s, fetch %.3f s, sort %.3f s, write %.3f s\n",
                times.beforeFetch, times.fetching, times.sorting, times.writing);
  return line;
}

ProgressLine::~ProgressLine() { Stop(); }

void ProgressLine::EndPhase() {
  const auto now = std::chrono::steady_clock::now();
  if (phaseTime_ != nullptr) *phaseTime_ += std::chrono::duration<double>(now - phaseStart_).count();
  phaseStart_ = now;
}

void ProgressLine::SetPhase(RunPhase phase) {
  EndPhase();
  switch (phase) {
    case RunPhase::Fetching:
      phaseTime_ = &times_.fetching;
      break;
    case RunPhase::Sorting:
      phaseTime_ = &times_.sorting;
      break;
    case RunPhase::Writing:
      phaseTime_ = &times_.writing;
      break;
  }
  phase_.store(static_cast<int>(phase), std::memory_order_relaxed);
}

void ProgressLine::Start(const ListProgress* list, bool mayDraw) {
  times_.beforeFetch = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  SetPhase(RunPhase::Fetching);
  hasStarted_ = true;
  list_ = list;
  if (!mayDraw || !IsErrorStreamTerminal()) return;
  try {
    drawer_ = std::thread(&ProgressLine::Draw, this);
  } catch (const std::system_error&) {
    // No line then; the run itself does not need it.
  }
}

void ProgressLine::Stop() {
  EndPhase();
  phaseTime_ = nullptr;
  if (!drawer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    isStopping_ = true;
  }
  wake_.notify_one();
  drawer_.join();
}

void ProgressLine::Draw() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool hasDrawn = false;
  if (!wake_.wait_for(lock, kFirstDraw, [this] { return isStopping_; })) {
    do {
      ProgressFigures figures;
      figures.phase = static_cast<RunPhase>(phase_.load(std::memory_order_relaxed));
      figures.rows = rows_.load(std::memory_order_relaxed);
      if (list_ != nullptr) {
        figures.spilledRuns = list_->spilledRuns.load(std::memory_order_relaxed);
        figures.spilledBytes = list_->spilledBytes.load(std::memory_order_relaxed);
      }
      figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
      // Carriage return, the line, and erase what a longer line left. Built
      // by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "\r" + string.
      std::string text = "\r";
      text += FormatProgress(figures);
      text += "\033[K";
      WriteToErrorStream(text);
      hasDrawn = true;
    } while (!wake_.wait_for(lock, kRedrawInterval, [this] { return isStopping_; }));
  }
  if (hasDrawn) WriteToErrorStream("\r\033[K");
}

}  // namespace korvadex
