#pragma once

#include <cstddef>

#include <hidapi/hidapi.h>

// Prints buffer[1] .. buffer[end - 1] as "%02hhx " each; index 0 is the
// report number and is never shown.
void dump_hex(const unsigned char *buffer, std::size_t end);

// Sends the command report to the open device, reads one reply and prints
// both. Returns 0 when the read succeeded, 1 when the write or read failed.
// The device stays open, in non-blocking mode.
int exchange_command(hid_device *device);
