/* Preloaded into Wine's 32-bit processes when a kernel without 32-bit
 * support runs them through qemu-user. That qemu (7.2) ignores
 * MAP_FIXED_NOREPLACE, so each of Wine's address-space reservations comes
 * back at the wrong address and Wine retries it in 64 KiB pieces, which
 * costs about a minute per process. Doing the "no replace" check here, from
 * the mappings the emulator reports, brings a start back to a fraction of a
 * second. Built for 64 bits as well, empty, so that one LD_PRELOAD entry
 * with $LIB serves both kinds of Wine process without loader warnings. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__i386__)

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static int range_in_use(uintptr_t low, uintptr_t high) {
  static char maps[1 << 17];
  int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return 1;
  size_t used = 0;
  ssize_t got;
  while (used < sizeof maps - 1 &&
         (got = read(fd, maps + used, sizeof maps - 1 - used)) > 0)
    used += (size_t)got;
  close(fd);
  maps[used] = '\0';
  for (const char *line = maps; *line != '\0';) {
    unsigned long start, end;
    if (sscanf(line, "%lx-%lx", &start, &end) == 2 && start < high && low < end)
      return 1;
    const char *next = strchr(line, '\n');
    if (next == NULL)
      break;
    line = next + 1;
  }
  return 0;
}

/* Turns a "no replace" request into a plain fixed one when the range is
 * free; false when it is taken, with errno set as the kernel would. */
static int claim_fixed(void *addr, size_t length, int *flags) {
  if (!(*flags & MAP_FIXED_NOREPLACE))
    return 1;
  uintptr_t low = (uintptr_t)addr, high = low + length;
  if (high < low || high == 0)
    high = UINTPTR_MAX;
  if (range_in_use(low, high)) {
    errno = EEXIST;
    return 0;
  }
  *flags = (*flags & ~MAP_FIXED_NOREPLACE) | MAP_FIXED;
  return 1;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd,
           off_t offset) {
  static void *(*real)(void *, size_t, int, int, int, off_t);
  if (real == NULL)
    real = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT,
                                                                  "mmap");
  if (!claim_fixed(addr, length, &flags))
    return MAP_FAILED;
  return real(addr, length, prot, flags, fd, offset);
}

/* Wine is built with 64-bit file offsets: most of its calls come here. */
void *mmap64(void *addr, size_t length, int prot, int flags, int fd,
             off64_t offset) {
  static void *(*real)(void *, size_t, int, int, int, off64_t);
  if (real == NULL)
    real = (void *(*)(void *, size_t, int, int, int, off64_t))dlsym(RTLD_NEXT,
                                                                    "mmap64");
  if (!claim_fixed(addr, length, &flags))
    return MAP_FAILED;
  return real(addr, length, prot, flags, fd, offset);
}

#endif
