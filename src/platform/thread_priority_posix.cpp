// Linux: the nice value is the thread's own, so only the caller gives way.
#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace korvadex {

void LowerThreadPriority() {
  const auto thread = static_cast<id_t>(::gettid());
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, thread);
  if (current == -1 && errno != 0) return;
  ::setpriority(PRIO_PROCESS, thread, current + 5);
}

}  // namespace korvadex
