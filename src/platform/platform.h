#pragma once

// Everything that differs between Windows and the POSIX systems lives behind
// these calls; each platform has one source file that implements them all.

#include <cstddef>

// Takes the character type from the user's environment, so that device text
// is converted and shown in the user's own encoding.
void init_console();

// hidapi's Linux backend decodes the kernel's device text, which is UTF-8,
// under the calling thread's locale. Between these two calls that locale is
// a UTF-8 one, whatever the user's, so that no text is lost or garbled
// before it is shown in the user's own encoding. Elsewhere they do nothing.
void begin_utf8_device_text();
void end_utf8_device_text();

// Blocks the whole program for at least `ms` milliseconds.
void sleep_ms(unsigned ms);

// Flushes standard output, then holds the console until the user presses a
// key, the way the Windows command processor's "pause" does.
void pause_console();

// One character as the console's encoding spells it.
struct console_char {
  char bytes[16]; // enough for any encoding's longest character
  std::size_t size;
};

// Encodes one code point for the console. Returns false when it is no
// Unicode character (a surrogate, a value past U+10FFFF) or the console
// cannot show it.
bool encode_for_console(char32_t code_point, console_char &out);
