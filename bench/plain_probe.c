/* The yardstick for the probe's own cost: a plain C program that makes the
 * same hidapi calls in the same order, with the same waits and much the same
 * output, and nothing else. */
#define _POSIX_C_SOURCE 200809L
#include <hidapi/hidapi.h>

#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void wait_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

static void dump(const unsigned char *buffer, int end) {
  for (int i = 1; i < end; ++i) {
    printf("%02hhx ", buffer[i]);
  }
}

int main(void) {
  setlocale(LC_CTYPE, "");
  if (hid_init() != 0) {
    return -1;
  }
  unsigned short vendor = 0, product = 0;
  struct hid_device_info *head = hid_enumerate(0, 0);
  for (struct hid_device_info *d = head; d != NULL; d = d->next) {
    if (d->vendor_id == 0x1111 && d->product_id == 0x0004) {
      vendor = d->vendor_id;
      product = d->product_id;
      printf("  Vid & Pid: 0x%04hx 0x%04hx\n  serial_number: %ls\n  Product:   "
             "   %ls\n\n",
             vendor, product, d->serial_number, d->product_string);
      break;
    }
  }
  hid_free_enumeration(head);
  int status = 1;
  hid_device *device =
      vendor + product != 0 ? hid_open(vendor, product, NULL) : NULL;
  if (device != NULL) {
    static const unsigned char command[] = {0x00, 0x43, 0x4D, 0x44, 0x3E,
                                            0x06, 0x00, 0x00, 0x12, 0x20,
                                            0x00, 0x52, 0x44, 0x5A, 0x8E};
    unsigned char request[65] = {0};
    memcpy(request, command, sizeof command);
    hid_set_nonblocking(device, 1);
    wait_ms(10);
    printf("Data write (bytes in hex):\n   ");
    dump(request, 15);
    if (hid_write(device, request, sizeof request) >= 0) {
      wait_ms(10);
      unsigned char reply[256] = {0};
      if (hid_read(device, reply, sizeof request) >= 0) {
        printf("\nData read (bytes in hex):\n   ");
        dump(reply, 65);
        printf("\n");
        status = 0;
      }
    }
    hid_close(device);
  }
  hid_exit();
  printf("Press any key to continue . . . ");
  fflush(stdout);
  char key;
  (void)!read(STDIN_FILENO, &key, 1);
  printf("\n");
  return status;
}
