// Lets a background thread give way to the run's critical work on busy cores.
#ifndef KORVADEX_PLATFORM_THREAD_PRIORITY_H_
#define KORVADEX_PLATFORM_THREAD_PRIORITY_H_

namespace korvadex {

// Lowers the calling thread's scheduling priority a little (nice +5 on
// Linux, below normal on Windows), for good; the other threads keep theirs.
// Failure changes nothing and is not reported: the thread just runs as before.
void LowerThreadPriority();

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_THREAD_PRIORITY_H_
