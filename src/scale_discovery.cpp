#include "scale_discovery.h"

#include <cstdint>
#include <cstdio>

#include <hidapi/hidapi.h>

#include "device_text.h"
#include "platform/platform.h"

namespace {
constexpr std::uint16_t scale_vendor_id = 0x1111;
constexpr std::uint16_t scale_product_id = 0x0004;
} // namespace

scale_match find_scale() {
  scale_match match = {0, 0};

  // Ask for every device and filter here, so that the match rule is ours and
  // not the library's.
  begin_utf8_device_text();
  hid_device_info *const head = hid_enumerate(0, 0);
  end_utf8_device_text();
  for (const hid_device_info *dev = head; dev != nullptr; dev = dev->next) {
    if (dev->vendor_id != scale_vendor_id ||
        dev->product_id != scale_product_id) {
      continue;
    }
    match.vendor_id = dev->vendor_id;
    match.product_id = dev->product_id;
    // Device text goes through put_device_text() so that whatever the
    // device reports, each identity line comes out whole and harmless.
    std::printf("  Vid & Pid: 0x%04hx 0x%04hx\n  serial_number: ",
                dev->vendor_id, dev->product_id);
    put_device_text(dev->serial_number, stdout);
    std::printf("\n");
    std::printf("  Product:      ");
    put_device_text(dev->product_string, stdout);
    std::printf("\n");
    std::printf("\n");
    break; // the first match is the scale; later records are not examined
  }
  hid_free_enumeration(head);
  return match;
}
