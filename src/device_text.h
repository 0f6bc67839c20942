#pragma once

#include <cstdio>

// Prints text that a device chose (serial number, product string, error
// text) to `out` so that it stays on one line and does no harm: no control
// characters, nothing that hides or reorders text (bidirectional controls,
// characters that show as nothing), nothing the console cannot show. Each
// offending character becomes "?"; a null pointer prints as "(null)".
void put_device_text(const wchar_t *text, std::FILE *out);

// Takes one character off the front of `text` (not at its end) and moves
// past it. Where wide text is UTF-16 (`utf16`, as wchar_t is on Windows), a
// high surrogate followed by a low one is one character beyond the BMP; any
// other unit is a character of its own, a lone surrogate included.
char32_t take_code_point(const wchar_t *&text, bool utf16);
