/* Runs a program and prints its peak resident memory in KiB. A small C
 * parent is needed: a child started by a large one (Python) inherits the
 * parent's high-water mark across exec, which would hide the child's own. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: peak_memory PROGRAM [ARG...]\n");
    return 2;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) {
    perror("peak_memory");
    return 2;
  }
  printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
