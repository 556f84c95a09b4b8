// Runs a program where it can start threads but no processes, as on a system
// whose process limit is reached: a seccomp filter refuses fork, vfork and
// every clone that is not a thread, with EPERM, then the program is executed.
// Exits with 125 where no such filter can be installed (not x86-64).
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool DenyProcesses() {
#if defined(__x86_64__)
  constexpr unsigned kDeny = SECCOMP_RET_ERRNO | EPERM;
  // glibc's fork is a clone without CLONE_THREAD; pthread_create uses clone3
  // (whose flags a filter cannot read) or a clone with CLONE_THREAD. A clone
  // with CLONE_VM shares the memory as a thread does: LeakSanitizer's tracer
  // at the end of a sanitized run is one.
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, kDeny),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      // The x32 numbers reach the same calls under other numbers.
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, kDeny),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fork, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_vfork, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, kDeny),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      // The flags are clone's first argument, their low half first.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD | CLONE_VM, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, kDeny),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
#else
  return false;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fork_denied PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  if (!DenyProcesses()) {
    std::perror("fork_denied: seccomp");
    return 125;
  }
  ::execv(argv[1], argv + 1);
  std::perror("fork_denied: execv");
  return 127;
}
