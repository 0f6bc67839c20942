// scale-probe: checks that the scale is attached and answers its command.
// One straight run; the exit status says how it ended (0 answered,
// 1 missing or failed, -1 the HID library did not start).

#include <cstdio>

#include <hidapi/hidapi.h>

#include "command_exchange.h"
#include "platform/platform.h"
#include "scale_discovery.h"

int main() {
  // Before any device text is read: hidapi converts it under this locale.
  init_console();

  if (hid_init() != 0) {
    return -1;
  }

  const scale_match match = find_scale();
  if (match.vendor_id + match.product_id == 0) {
    std::printf("The scale was not connected or buse\n");
    hid_exit();
    pause_console();
    return 1;
  }

  // By the two ids, not by the enumerated path: the library opens the first
  // device with that pair.
  hid_device *const device =
      hid_open(match.vendor_id, match.product_id, nullptr);
  if (device == nullptr) {
    std::printf("unable to open device\n");
    hid_exit(); // still release the library, but end at once without a pause
    return 1;
  }

  const int status = exchange_command(device);
  hid_close(device);
  hid_exit();
  pause_console();
  return status;
}
