// The driver's child process on Windows: there is none. Windows has no fork,
// and a new process would have to be handed the credentials and connect
// anew, so the run keeps the driver in its own process; a driver that
// crashes ends the run there.
#include "platform/child_process.h"

#include <csignal>

namespace korvadex {

ChildProcess::~ChildProcess() = default;

bool ChildProcess::Start(const std::function<int(int socket)>& /*body*/) { return false; }

void ChildProcess::RequestCancel() const {}

void ChildProcess::Kill() const {}

ChildEnd ChildProcess::Wait() { return end_; }

int CancelRequestSignal() { return SIGTERM; }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "INT";
    case SIGTERM:
      return "TERM";
    case SIGSEGV:
      return "SEGV";
    case SIGABRT:
      return "ABRT";
    case SIGFPE:
      return "FPE";
    case SIGILL:
      return "ILL";
    default:
      return "?";
  }
}

}  // namespace korvadex
