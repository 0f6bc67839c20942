#pragma once

#include <cstdio>

// Prints text that a device chose (serial number, product string, error
// text) to `out` so that it stays on one line and does no harm: no control
// characters, nothing the console cannot show. Each offending character
// becomes "?"; a null pointer prints as "(null)".
void put_device_text(const wchar_t *text, std::FILE *out);
