#pragma once

// Everything that differs between Windows and the POSIX systems lives behind
// these calls; each platform has one source file that implements them all.

#include <string>

// Takes the character type from the user's environment, so that device text
// is converted and shown in the user's own encoding.
void init_console();

// Blocks the whole program for at least `ms` milliseconds.
void sleep_ms(unsigned ms);

// Flushes standard output, then holds the console until the user presses a
// key, the way the Windows command processor's "pause" does.
void pause_console();

// Appends the console's encoding of one Unicode code point to `out`.
// Returns false, appending nothing, when the console cannot show it.
bool encode_for_console(char32_t code_point, std::string &out);
