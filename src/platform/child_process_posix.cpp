// The driver side's child process on Linux: a fork joined to the run by a
// socket pair.
#include "platform/child_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvadex {

namespace {

// Rows cross in batches of a few hundred KiB; a buffer that holds several
// lets the child fetch on while the parent formats.
constexpr int kSocketBuffer = 4 << 20;

pid_t PidOf(std::intptr_t process) { return static_cast<pid_t>(process); }

bool HasEnded(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT leaves the child unreaped, so its pid cannot go to another process yet.
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

bool MakeChannelPair(int ends[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    ::setsockopt(ends[i], SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    ::setsockopt(ends[i], SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  }
  return true;
}

bool ChildProcess::StartProcess(ChildBody body) {
  int ends[2];
  if (!MakeChannelPair(ends)) {
    startNote_ = std::string("socketpair: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    startNote_ = std::string("fork: ") + std::strerror(errno);
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  if (pid == 0) {
    ::close(ends[0]);
    // Left behind by a parent killed outright, the child would hold its
    // connection and statement open for nobody.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    // Its memory holds rows and once held the password: no core file, no
    // other process of the user attached to it. The parent names the signal.
    ::prctl(PR_SET_DUMPABLE, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    // _exit, so nothing of the parent's (buffers, destructors, atexit
    // handlers) runs twice.
    ::_exit(body(ends[1], true));
  }
  ::close(ends[1]);
  process_ = pid;
  socket_ = ends[0];
  return true;
}

void ChildProcess::RequestCancel() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (hasProcess() && !isWaited_) ::kill(PidOf(process_), CancelRequestSignal());
}

void ChildProcess::Kill() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (hasProcess() && !isWaited_) ::kill(PidOf(process_), SIGKILL);
}

void ChildProcess::AwaitEndOrKill() {
  for (int attempt = 0; attempt < 200 && !HasEnded(PidOf(process_)); ++attempt) ::usleep(10000);
  Kill();
}

void ChildProcess::WaitForProcess() {
  const pid_t pid = PidOf(process_);
  // Waits without reaping first, so that a cancel request meanwhile still
  // reaches this child; the reaping itself happens under the lock.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(reapMutex_);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  isWaited_ = true;
  end_.hasExited = WIFEXITED(status);
  end_.exitCode = end_.hasExited ? WEXITSTATUS(status) : 0;
  end_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool TakeChildChannel(int /*argc*/, const char* const* /*argv*/, int& /*channel*/) { return false; }

int CancelRequestSignal() { return SIGUSR1; }

const char* SignalName(int signal) {
  const char* name = ::sigabbrev_np(signal);
  return name != nullptr ? name : "?";
}

}  // namespace korvadex
