// What a run does when it is asked to stop (SIGTERM, SIGINT, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break and closing the console): the request is noted,
// the running statement is cancelled, and the steps that follow see it and
// leave the target as it was.
#ifndef KORVADEX_PLATFORM_RUN_SIGNALS_H_
#define KORVADEX_PLATFORM_RUN_SIGNALS_H_

#include <functional>
#include <thread>

namespace korvadex {

// Who watches: the run itself, or the child that runs the driver for it.
enum class SignalRole {
  Run,           // SIGTERM, SIGINT, SIGHUP; a second one ends the process through the forced end
  DriverChild,   // the parent's cancel request only; the parent decides the rest
};

// Watches the stop signals for the life of the object. Start() blocks them
// in the calling thread, so every thread started afterwards inherits the
// block, and waits for them on a thread of its own. On Windows a console
// control handler takes their place, which the system calls on a thread of
// its own: Ctrl-C counts as SIGINT, Ctrl-Break and the console's closing as
// SIGTERM; a driver child waits there for the parent's cancel event instead.
// A second stop signal ends the run at once, through the forced end: the
// operator insists.
class SignalWatch {
 public:
  SignalWatch() = default;
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // False when the watcher could not be started; the signals then keep their
  // default action (the run ends at once, as any program would).
  bool Start(SignalRole role = SignalRole::Run);

  // For the driver child: notes the parent's cancel request (StopSignal) from
  // a signal handler, with no thread and no cancel action. A driver whose
  // SQLCancel cannot run beside its own calls needs no watcher thread, and
  // fetches faster in a process that has only one: the C library then skips
  // the atomic instructions of every mutex the driver takes. Start() may
  // follow to add the watcher where the driver can be cancelled from it. On
  // Windows, which has no such signal, a thread waits for the parent's
  // cancel event and only notes it until Start() follows.
  bool StartWithoutThread();

 private:
  std::thread watcher_;       // the thread that waits for the signals (Windows: the cancel event)
  [[maybe_unused]] bool isHandling_ = false;    // Windows: the console control handler is set
  [[maybe_unused]] void* wakeEvent_ = nullptr;  // Windows: wakes the cancel event's watcher to end
};

// StopSignal()'s value when the run's deadline passed before any signal came.
inline constexpr int kDeadlineStop = -1;

// The signal that asked the run to stop, kDeadlineStop, or 0 while nothing did.
int StopSignal();

// Sets what the watcher calls, on its own thread, when a stop signal comes:
// cancelling the running statement. The action must stay callable until it
// is cleared; an empty action clears it, after which it is no longer running.
void SetCancelAction(std::function<void()> action);

// Sets what ends the run at once, on the thread of whoever calls it: it
// takes back what the run changed on disk, prints the run's last lines and
// ends the process, never returning. It must stay callable until cleared
// with an empty action; clearing waits for a forced end that has begun.
void SetForcedEndAction(std::function<void()> action);

// Ends the run through the forced end action; without one, at once with
// 128 + the first signal (or 128 + SIGTERM's number after a deadline).
[[noreturn]] void ForceEnd();

// Sets what every first stop request does besides the cancel action (which
// the driver side may set for itself): starting the run's own clock on it.
// The same rules as for the cancel action.
void SetStopListener(std::function<void()> listener);

// For the watchers: notes the stop request `signal` (the first one counts)
// and runs the cancel action. With `isSecondFatal`, a second request (a
// signal after a deadline too) ends the run through ForceEnd.
void TakeStopRequest(int signal, bool isSecondFatal);

// For a signal handler: only notes the request (the first one counts);
// async-signal-safe.
void NoteStopRequest(int signal);

// First thing in a run: a stop signal before the watch starts ends the
// process with 128 + the signal, as the signal's own action does on Linux,
// where nothing needs doing. On Windows the console handler that stands for
// the watch is set here and kept to the process's end, and Ctrl-C is let
// through where the process was started in a new process group, which
// starts with it ignored; a SignalWatch then takes the events over, and
// after it they are still noted (ExitCodeAfterLateStop).
void HoldStopsFromTheStart();

// The run's exit code, or 128 + the stop signal when one came while the run
// was ending with a failure (3 to 7) after it had chosen that code: the file
// is as it was then either way, and a stop is what the caller asked for.
int ExitCodeAfterLateStop(int exitCode);

// Makes standard input, output and error valid descriptors (/dev/null or NUL
// where closed) before anything else opens a file, and ignores SIGPIPE and
// SIGXFSZ so that a closed pipe on standard output and a write past the file
// size limit become write errors the run can report (Windows reports them so
// anyway).
void PrepareStandardStreams();

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_RUN_SIGNALS_H_
