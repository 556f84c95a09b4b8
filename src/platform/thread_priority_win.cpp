// Windows: the thread's priority within its process's class.
#include "platform/thread_priority.h"

#include <windows.h>

namespace korvadex {

void LowerThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace korvadex
