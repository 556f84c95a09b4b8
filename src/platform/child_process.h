// A child process of the run, joined to it by a socket: started by one
// object, waited for in one place, and how it ended told as a status.
#ifndef KORVADEX_PLATFORM_CHILD_PROCESS_H_
#define KORVADEX_PLATFORM_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <mutex>

namespace korvadex {

// How a child ended.
struct ChildEnd {
  bool hasExited = false;  // ended by _exit with `exitCode`
  int exitCode = 0;
  int signal = 0;          // the signal that ended it, or 0
};

// Owns a forked child (Linux; on Windows Start gives false and the run keeps
// the driver in its own process). The child runs `body` with its end of the socket and
// leaves with _exit, so nothing of the parent's (buffers, destructors,
// atexit handlers) runs twice. The child dies with the parent, ignores the
// stop signals meant for the run (the parent passes them on as a cancel) and
// must not print.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Forks; false when no child could be started, and always on Windows.
  // `body` returns the child's exit code.
  bool Start(const std::function<int(int socket)>& body);

  // The parent's end of the socket; -1 before Start.
  int socket() const { return socket_; }

  // Sends the child the cancel request (SIGUSR1). Callable from any thread.
  void RequestCancel() const;

  // Ends the child at once (SIGKILL), for a child that no longer answers.
  // Callable from any thread; a no-op once the child is reaped.
  void Kill() const;

  // Closes the parent's end, so the child sees its end of input, and waits
  // for it; the second call returns what the first found. Called from the
  // thread that started the child.
  ChildEnd Wait();

 private:
  bool HasEnded() const;

  pid_t pid_ = -1;
  int socket_ = -1;
  mutable std::mutex reapMutex_;  // a cancel request never meets a reaped pid
  bool isWaited_ = false;         // written under reapMutex_
  ChildEnd end_;
};

// The signal with which the parent asks its child to cancel.
int CancelRequestSignal();

// The name of a signal for a person ("SIGSEGV"), or its number.
const char* SignalName(int signal);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_CHILD_PROCESS_H_
