#pragma once

// Everything that differs between Windows and the POSIX systems lives behind
// these calls; each platform has one source file that implements them all.

#include <cstddef>
#include <cstdio>

// Makes ready to show device text in the user's own encoding.
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

// Where `out` is a console that takes Unicode text itself (Windows'), writes
// the character there, after what `out` holds, and returns true. Elsewhere
// it writes nothing and returns false: the character goes out as bytes.
bool put_to_unicode_console(char32_t code_point, std::FILE *out);

// One character as the console's encoding spells it.
struct console_char {
  char bytes[32]; // a character and the bytes that end a shift state
  std::size_t size;
};

// Encodes one Unicode character for the console. Returns false when the
// console cannot show it, or would take its encoding for a C1 control.
bool encode_for_console(char32_t code_point, console_char &out);
