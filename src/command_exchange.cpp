#include "command_exchange.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include <hidapi/hidapi.h>

#include "device_text.h"
#include "platform/platform.h"

namespace {
constexpr std::size_t report_length = 65; // report number + 64 data bytes
constexpr std::size_t receive_size = 256;
constexpr unsigned settle_ms = 10; // after switching to non-blocking mode
constexpr unsigned answer_ms = 10; // the scale's window to answer

// Report number 0 (the device's only report), then "CMD>", six fixed bytes,
// "RDZ" and 0x8e. The rest of the report is zero fill.
constexpr unsigned char command[] = {0x00, 0x43, 0x4D, 0x44, 0x3E,
                                     0x06, 0x00, 0x00, 0x12, 0x20,
                                     0x00, 0x52, 0x44, 0x5A, 0x8E};
} // namespace

void dump_hex(const unsigned char *buffer, std::size_t end) {
  for (std::size_t i = 1; i < end; ++i) {
    std::printf("%02hhx ", buffer[i]);
  }
}

int exchange_command(hid_device *device) {
  // The read below must not block: the scale gets one fixed window.
  hid_set_nonblocking(device, 1);
  sleep_ms(settle_ms);

  unsigned char Request[report_length] = {};
  std::memcpy(Request, command, sizeof command);

  std::printf("Data write (bytes in hex):\n   ");
  dump_hex(Request, sizeof command);

  if (hid_write(device, Request, report_length) < 0) {
    std::printf("Unable to write()\n");
    std::printf("Error: ");
    put_device_text(hid_error(device), stdout);
    std::printf("\n");
    return 1;
  }
  sleep_ms(answer_ms);

  unsigned char buf[receive_size];
  std::memset(buf, 0, sizeof buf);
  if (hid_read(device, buf, report_length) < 0) {
    std::printf("\nUnable to read()\n");
    return 1;
  }
  // Whatever arrived (possibly nothing) is shown as the full 64 data bytes.
  std::printf("\nData read (bytes in hex):\n   ");
  dump_hex(buf, report_length);
  std::printf("\n");
  return 0;
}
