#pragma once

#include <string>

// Text that a device chose (serial number, product string, error text), made
// safe to print on one line: never null, no control characters, nothing the
// console cannot show. Each offending character becomes "?"; a null pointer
// becomes "(null)".
std::string device_text(const wchar_t *text);
