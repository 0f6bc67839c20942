#pragma once

#include <cstdint>

// Identity of the scale that was found; both ids are 0 when none matched.
struct scale_match {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
};

// Looks through every HID device for the scale and prints its identity.
// Call only after a successful hid_init().
scale_match find_scale();
