// Tests that the spilling thread gives way without slowing the rest of the run.
#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

namespace korvadex {
namespace {

int NiceOf(pid_t thread) { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread)); }

// Lowering the whole process would slow the fetch that the spill is meant to
// give way to; only the calling thread may change.
TEST(ThreadPriorityTest, OnlyTheCallingThreadGivesWay) {
  const pid_t mainThread = ::gettid();
  const int before = NiceOf(mainThread);
  if (before > 14) GTEST_SKIP() << "the tests already run at nice " << before;
  int lowered = 0;
  std::thread([&lowered] {
    const int own = NiceOf(::gettid());
    LowerThreadPriority();
    lowered = NiceOf(::gettid()) - own;
  }).join();
  EXPECT_EQ(lowered, 5);
  EXPECT_EQ(NiceOf(mainThread), before);
  EXPECT_EQ(NiceOf(::getpid()), before);
}

}  // namespace
}  // namespace korvadex
