// Tests of the progress line's text and the phase times of the /D trace.
#include "driver/progress_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace korvadex {
namespace {

TEST(ProgressLineTest, TextShowsSpillFiguresOnlyOnceThereAreAnyAndHoursPastSixty) {
  ProgressFigures figures;
  figures.rows = 1500;
  figures.seconds = 3;
  EXPECT_EQ(FormatProgress(figures), "korvadex: fetching 1500 rows, 500 rows/s, 0:00:03");
  figures.phase = RunPhase::Sorting;
  figures.rows = 20000000;
  figures.seconds = 3 * 3600 + 61.5;
  figures.spilledRuns = 7;
  figures.spilledBytes = std::uint64_t{3} << 29;
  EXPECT_EQ(FormatProgress(figures), "korvadex: sorting  20000000 rows, 1841 rows/s, spilled 7 runs, 1536.0 MiB, 3:01:01");
  figures.spilledRuns = 1;
  figures.spilledBytes = 512 << 10;
  EXPECT_EQ(FormatProgress(figures), "korvadex: sorting  20000000 rows, 1841 rows/s, spilled 1 run, 0.5 MiB, 3:01:01");
  // The run has only just begun: no division by zero.
  figures = ProgressFigures{};
  EXPECT_EQ(FormatProgress(figures), "korvadex: fetching 0 rows, 0 rows/s, 0:00:00");
}

TEST(ProgressLineTest, EachPhaseIsTimedIntoItsOwnFigure) {
  ProgressLine line;
  EXPECT_FALSE(line.hasStarted());
  line.Start(nullptr, false);
  line.SetPhase(RunPhase::Sorting);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  line.SetPhase(RunPhase::Writing);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  line.Stop();
  ASSERT_TRUE(line.hasStarted());
  EXPECT_GE(line.phaseTimes().sorting, 0.030);
  EXPECT_GE(line.phaseTimes().writing, 0.060);
  EXPECT_EQ(FormatPhaseTimes(PhaseTimes{0.5, 12.25, 0, 3.125}),
            "korvadex: connect+execute 0.500 s, fetch 12.250 s, sort 0.000 s, write 3.125 s\n");
}

}  // namespace
}  // namespace korvadex
