/* Runs a program and holds it, once, at its first write to or poll of a
 * hidraw device until that device is gone from the system; then lets it go
 * on. This is how the bench unplugs the scale at an exact point of a run (in
 * front of the probe's write, or of its read) instead of racing the probe's
 * 10 ms waits. The program is traced with ptrace and runs unchanged.
 *
 *   syscall_gate write|poll [--signal PID] -- PROGRAM [ARGUMENTS]
 *
 * With --signal, PID (the scale's firmware) gets SIGUSR1 when the program is
 * held, and unplugs. Ends with the program's exit status. */

#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { gone_timeout_ms = 5000 };

/* Whether the traced process's descriptor is a hidraw node; its name
 * ("hidraw0") goes to `name`. */
static int is_hidraw(pid_t pid, long fd, char name[32]) {
  char link[64], target[32];
  snprintf(link, sizeof link, "/proc/%d/fd/%ld", (int)pid, fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) {
    return 0;
  }
  target[n] = '\0';
  if (strncmp(target, "/dev/hidraw", 11) != 0) {
    return 0;
  }
  memcpy(name, target + 5, (size_t)n - 4); /* from "hidraw", with its end */
  return 1;
}

/* Waits until the kernel has taken the device away; false on timeout. */
static int wait_until_gone(const char *name) {
  char sysfs[128];
  snprintf(sysfs, sizeof sysfs, "/sys/class/hidraw/%s", name);
  for (int waited = 0; waited < gone_timeout_ms; ++waited) {
    if (access(sysfs, F_OK) != 0) {
      return 1;
    }
    struct timespec ms = {0, 1000000L};
    nanosleep(&ms, NULL);
  }
  return 0;
}

int main(int argc, char **argv) {
  int program = 2;
  pid_t tell = 0;
  if (argc > 4 && strcmp(argv[2], "--signal") == 0) {
    tell = (pid_t)strtol(argv[3], NULL, 10);
    program = 4;
  }
  if (argc < program + 2 || strcmp(argv[program], "--") != 0 || tell < 0 ||
      (strcmp(argv[1], "write") != 0 && strcmp(argv[1], "poll") != 0)) {
    fprintf(stderr, "usage: syscall_gate write|poll [--signal PID] -- PROGRAM "
                    "[ARGUMENTS]\n");
    return 2;
  }
  ++program;
  const int at_write = strcmp(argv[1], "write") == 0;
  pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, NULL, NULL);
    kill(getpid(), SIGSTOP); /* wait for the tracer */
    execv(argv[program], argv + program);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0); /* the child's own stop */
  ptrace(PTRACE_SETOPTIONS, child, NULL,
         (void *)(long)(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));

  /* Stops alternate between a system call's entry and its exit, starting
   * with the entry of the exec. A signal stop is passed over and its signal
   * dropped: the exec's SIGTRAP would otherwise kill the program. */
  int held = 0;
  int entering = 0;
  while (!held) {
    ptrace(PTRACE_SYSCALL, child, NULL, NULL);
    if (waitpid(child, &status, 0) < 0 || WIFEXITED(status) ||
        WIFSIGNALED(status)) {
      fprintf(stderr, "syscall_gate: the program never reached its %s\n",
              argv[1]);
      break;
    }
    if (!WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      continue; /* a signal stop: let it pass */
    }
    entering = !entering;
    if (!entering) {
      continue; /* the call's exit */
    }
    struct user_regs_struct regs;
    ptrace(PTRACE_GETREGS, child, NULL, &regs);
    const long nr = (long)regs.orig_rax;
    long fd = -1;
    if (at_write && nr == SYS_write) {
      fd = (long)regs.rdi;
    } else if (!at_write && (nr == SYS_poll || nr == SYS_ppoll)) {
      errno = 0; /* the first pollfd's descriptor */
      const long word = ptrace(PTRACE_PEEKDATA, child, (void *)regs.rdi, NULL);
      fd = errno == 0 ? (long)(int)word : -1;
    }
    char name[32];
    if (fd >= 0 && is_hidraw(child, fd, name)) {
      held = 1;
      if (tell > 0 && kill(tell, SIGUSR1) != 0) {
        perror("syscall_gate: kill");
      }
      if (!wait_until_gone(name)) {
        fprintf(stderr, "syscall_gate: %s still there after %d ms\n", name,
                gone_timeout_ms);
      }
      /* Let the call go ahead, untraced from here on. */
      ptrace(PTRACE_DETACH, child, NULL, NULL);
      waitpid(child, &status, 0);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
