// A child process of the run, joined to it by a socket.
#include "platform/child_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace korvadex {

namespace {

// Rows cross in batches of a few hundred KiB; a buffer that holds several
// lets the child fetch on while the parent formats.
constexpr int kSocketBuffer = 4 << 20;

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !isWaited_) {
    // Without its socket a child that waits for work ends by itself and
    // closes its connection in order; one that does not is not waited for long.
    ::close(std::exchange(socket_, -1));
    for (int attempt = 0; attempt < 200 && !HasEnded(); ++attempt) ::usleep(10000);
    if (!HasEnded()) ::kill(pid_, SIGKILL);
    Wait();
  }
  if (socket_ >= 0) ::close(socket_);
}

bool ChildProcess::HasEnded() const {
  siginfo_t info{};
  // WNOWAIT leaves the child unreaped, so its pid cannot go to another process yet.
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

bool ChildProcess::Start(const std::function<int(int socket)>& body) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  for (int end : ends) {
    ::setsockopt(end, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    ::setsockopt(end, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
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
    ::_exit(body(ends[1]));
  }
  ::close(ends[1]);
  pid_ = pid;
  socket_ = ends[0];
  return true;
}

void ChildProcess::RequestCancel() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (pid_ > 0 && !isWaited_) ::kill(pid_, CancelRequestSignal());
}

void ChildProcess::Kill() const {
  std::lock_guard<std::mutex> lock(reapMutex_);
  if (pid_ > 0 && !isWaited_) ::kill(pid_, SIGKILL);
}

ChildEnd ChildProcess::Wait() {
  if (isWaited_ || pid_ <= 0) return end_;
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
  // Waits without reaping first, so that a cancel request meanwhile still
  // reaches this child; the reaping itself happens under the lock.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(reapMutex_);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  isWaited_ = true;
  end_.hasExited = WIFEXITED(status);
  end_.exitCode = end_.hasExited ? WEXITSTATUS(status) : 0;
  end_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return end_;
}

int CancelRequestSignal() { return SIGUSR1; }

const char* SignalName(int signal) {
  const char* name = ::sigabbrev_np(signal);
  return name != nullptr ? name : "?";
}

}  // namespace korvadex
