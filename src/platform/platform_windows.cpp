#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

#include <io.h>
#include <windows.h>

#include "platform/code_pages.h"

namespace {
// The character as UTF-16: one unit, or a surrogate pair. Returns the count.
int to_utf16(char32_t code_point, wchar_t (&units)[2]) {
  if (code_point < 0x10000) {
    units[0] = static_cast<wchar_t>(code_point);
    units[1] = 0;
    return 1;
  }
  units[0] = static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10));
  units[1] = static_cast<wchar_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
  return 2;
}
} // namespace

// The C runtime keeps its "C" locale: set to the user's, it would take the
// bytes written to a console for ANSI code page text and convert them to the
// console's page a second time. A console gets device text as UTF-16
// instead, and a pipe or file gets it encoded here.
void init_console() {}

// hidapi's Windows backend hands over the device's own UTF-16 text.
void begin_utf8_device_text() {}
void end_utf8_device_text() {}

void sleep_ms(unsigned ms) { Sleep(ms); }

void pause_console() {
  // The command processor writes its prompt straight to the console; our own
  // buffered text has to be out first.
  std::fflush(stdout);
  std::system("pause");
}

bool put_to_unicode_console(char32_t code_point, std::FILE *out) {
  // A console shows any character its font has, whatever its code page.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) == 0) {
    return false; // a pipe or a file
  }
  wchar_t units[2];
  const int count = to_utf16(code_point, units);
  std::fflush(out);
  DWORD written = 0;
  return WriteConsoleW(handle, units, static_cast<DWORD>(count), &written,
                       nullptr) != 0;
}

bool encode_for_console(char32_t code_point, console_char &out) {
  // Redirected, the text is in the code page of the console the program
  // runs in, as a console would have shown it; without a console, in the
  // ANSI page.
  UINT code_page = GetConsoleOutputCP();
  if (code_page == 0) {
    code_page = GetACP();
  }
  wchar_t units[2];
  const int count = to_utf16(code_point, units);
  // No best fit: a character the page lacks must become "?", not a
  // look-alike. Pages that refuse the flag and the lossy-conversion report
  // are converted without them; there, only a character that reads back as
  // itself was really shown.
  const bool plain = code_page_refuses_flags(code_page);
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(code_page, plain ? 0 : WC_NO_BEST_FIT_CHARS,
                                    units, count, out.bytes, sizeof out.bytes,
                                    nullptr, plain ? nullptr : &lossy);
  if (n <= 0 || lossy) {
    return false;
  }
  if (plain) {
    wchar_t back[2] = {};
    if (MultiByteToWideChar(code_page, 0, out.bytes, n, back, 2) != count ||
        back[0] != units[0] || back[1] != units[1]) {
      return false;
    }
  }
  out.size = static_cast<std::size_t>(n);
  return true;
}
