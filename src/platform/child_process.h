// The driver side's carrier: a child process of the run joined to it by a
// socket or pipe, or, where no process can be had, a thread of the run's own.
// Started by one object, waited for in one place, how it ended told as a status.
#ifndef KORVADEX_PLATFORM_CHILD_PROCESS_H_
#define KORVADEX_PLATFORM_CHILD_PROCESS_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace korvadex {

// How a child ended.
struct ChildEnd {
  bool hasExited = false;       // ended by exiting with `exitCode`
  int exitCode = 0;
  int signal = 0;               // Linux: the signal that ended it, or 0
  std::uint32_t exception = 0;  // Windows: the exception code that ended it (0xC0000005), or 0
};

// What runs on the far end of the channel: given its end, and whether it has
// a process of its own (false on the thread, where it shares the run's stop
// request and cancel action); returns the child's exit code.
using ChildBody = int (*)(int channel, bool isOwnProcess);

// Owns the carrier of `body`. A child process is a fork (Linux) or this
// program's own image started anew with a hidden argument (Windows, where
// main() hands it to `body` through TakeChildChannel). A child dies with the
// run, leaves the run's stop requests to it (the run passes them on as a
// cancel request), never waits for a person on a crash and must not print.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `body` in a child process; false, with the reason in
  // startNote(), when none can be had.
  bool StartProcess(ChildBody body);

  // Starts `body` on a thread of this process instead; false when neither a
  // channel nor a thread can be had. The caller blocks the stop signals
  // first, so that they reach the run's watcher and not this thread.
  bool StartThread(ChildBody body);

  // True when `body` runs on a thread of this process: no crash isolation.
  bool isThread() const { return thread_.joinable(); }

  // For the debug trace: why no process could be had, or what could not be
  // set up for it; empty when all went as meant.
  const std::string& startNote() const { return startNote_; }

  // The parent's end of the channel; -1 before Start.
  int socket() const { return socket_; }

  // Asks the child process to cancel (Linux: SIGUSR1; Windows: an event it
  // waits for). Any thread; a no-op once the child is waited for, and on the
  // thread, which sees the run's own stop request.
  void RequestCancel() const;

  // Ends the child process at once, for one that no longer answers. Any
  // thread; a no-op once it is waited for, and on the thread.
  void Kill() const;

  // Closes the parent's end, so the child sees its end of input, and waits
  // for it; the second call returns what the first found. Called from the
  // thread that started the child.
  ChildEnd Wait();

 private:
  // Waits for the process and reaps it under reapMutex_, filling end_.
  void WaitForProcess();
  // Gives a process whose channel is closed a moment to leave by itself
  // (closing its connection in order), then ends it.
  void AwaitEndOrKill();
  bool hasProcess() const { return process_ != 0; }

  std::intptr_t process_ = 0;      // Linux: the pid; Windows: the process handle; 0 when none
  std::intptr_t job_ = 0;          // Windows: the job object that ends the child with the run
  std::intptr_t cancelEvent_ = 0;  // Windows: set to ask the child to cancel
  std::thread thread_;             // the carrier where no process could be had
  int socket_ = -1;
  mutable std::mutex reapMutex_;   // a cancel request or kill never meets a reaped child
  bool isWaited_ = false;          // written under reapMutex_
  ChildEnd end_;
  std::string startNote_;
};

// Creates a connected pair of channel descriptors, both private to this
// process: ends[0] for the parent, ends[1] for the driver side.
bool MakeChannelPair(int ends[2]);

// In a process started by ChildProcess::Start (Windows): true, with the
// inherited end of the channel in `channel`, when the command line is the
// hidden form and names a pipe really inherited; the process is then set up
// as a child (no dialogs on a crash, console events ignored). False for every
// other command line, and always on Linux.
bool TakeChildChannel(int argc, const char* const* argv, int& channel);

// The signal with which the parent asks its child to cancel.
int CancelRequestSignal();

// The name of a signal for a person ("SEGV"), or "?".
const char* SignalName(int signal);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_CHILD_PROCESS_H_
