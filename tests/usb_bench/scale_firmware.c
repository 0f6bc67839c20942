/* The scale's firmware, on the gadget side of an emulated USB link: it takes
 * the host's output report from the HID gadget's character device and, as
 * its behaviour says, answers it, stays silent or vanishes from the bus.
 *
 *   scale_firmware GADGET_DEVICE RECORD BEHAVIOUR [ARGUMENTS]
 *
 *   answer MS                 answer the command MS milliseconds after it came
 *   silent                    take the command and never answer
 *   vanish-after-receive UDC  take the command, then unplug
 *   vanish-on-signal UDC      unplug when SIGUSR1 comes (the bench's
 *                             syscall_gate sends it at the probe's write)
 *
 * Unplugging empties UDC, the gadget's binding file in configfs. What the
 * firmware received goes to RECORD, byte for byte. It prints "ready" once it
 * listens, so that the bench starts the probe only then. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { report_size = 64 };

/* The reply: a status byte, the reading as text, then a ramp that shows
 * every byte position; the rest is zero. */
static void make_reply(unsigned char reply[report_size]) {
  static const char reading[] = "OK 0001.250 kg";
  memset(reply, 0, report_size);
  reply[0] = 0x02;
  memcpy(reply + 1, reading, sizeof reading - 1);
  for (int i = 0; i < 16; ++i) {
    reply[1 + sizeof reading - 1 + i] = (unsigned char)(0xF0 + i);
  }
}

static void fail(const char *what) {
  fprintf(stderr, "scale_firmware: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void unplug(const char *udc) {
  int fd = open(udc, O_WRONLY);
  if (fd < 0 || write(fd, "\n", 1) != 1 || close(fd) != 0) {
    fail(udc);
  }
}

static void sleep_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

/* Waits for the host's output report and records it. */
static void receive(int gadget, const char *record) {
  unsigned char command[report_size + 1];
  ssize_t got;
  do {
    got = read(gadget, command, sizeof command);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    fail("read");
  }
  FILE *out = fopen(record, "wb");
  if (out == NULL || fwrite(command, 1, (size_t)got, out) != (size_t)got ||
      fclose(out) != 0) {
    fail(record);
  }
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(
        stderr,
        "usage: scale_firmware GADGET_DEVICE RECORD BEHAVIOUR [ARGUMENTS]\n");
    return 2;
  }
  const char *behaviour = argv[3];
  int gadget = open(argv[1], O_RDWR);
  if (gadget < 0) {
    fail(argv[1]);
  }
  /* The record exists, empty, until a command arrives. */
  FILE *record = fopen(argv[2], "wb");
  if (record == NULL || fclose(record) != 0) {
    fail(argv[2]);
  }

  if (strcmp(behaviour, "vanish-on-signal") == 0 && argc == 5) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, NULL);
    puts("ready");
    fflush(stdout);
    int caught = 0;
    sigwait(&usr1, &caught);
    unplug(argv[4]);
    return 0;
  }

  puts("ready");
  fflush(stdout);
  receive(gadget, argv[2]);
  if (strcmp(behaviour, "answer") == 0 && argc == 5) {
    sleep_ms(strtol(argv[4], NULL, 10));
    unsigned char reply[report_size];
    make_reply(reply);
    if (write(gadget, reply, sizeof reply) != (ssize_t)sizeof reply) {
      fail("write");
    }
  } else if (strcmp(behaviour, "vanish-after-receive") == 0 && argc == 5) {
    unplug(argv[4]);
  } else if (strcmp(behaviour, "silent") != 0) {
    fprintf(stderr, "scale_firmware: unknown behaviour %s\n", behaviour);
    return 2;
  }
  return 0;
}
