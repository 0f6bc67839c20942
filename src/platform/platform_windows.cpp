#include "platform/platform.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

void init_console() { std::setlocale(LC_CTYPE, ""); }

void sleep_ms(unsigned ms) { Sleep(ms); }

void pause_console() {
  // The command processor writes its prompt straight to the console; our own
  // buffered text has to be out first.
  std::fflush(stdout);
  std::system("pause");
}

bool encode_for_console(char32_t code_point, console_char &out) {
  // Narrow text reaches the console as bytes of its output code page, so the
  // character is encoded in that page; without a console, in the ANSI page.
  // A lone surrogate is no character; UTF-8 would show it as U+FFFD.
  if (code_point >= 0xD800 && code_point <= 0xDFFF) {
    return false;
  }
  UINT code_page = GetConsoleOutputCP();
  if (code_page == 0) {
    code_page = GetACP();
  }
  wchar_t units[2];
  int count = 1;
  if (code_point >= 0x10000) {
    units[0] = static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<wchar_t>(code_point);
  }
  BOOL lossy = FALSE;
  // No best fit: a character the page lacks must become "?", not a
  // look-alike. UTF-8 and UTF-7 refuse both that flag and the lossy-
  // conversion report; they can encode every code point anyway.
  const bool unicode_page = code_page == CP_UTF8 || code_page == CP_UTF7;
  const int n = WideCharToMultiByte(
      code_page, unicode_page ? 0 : WC_NO_BEST_FIT_CHARS, units, count,
      out.bytes, sizeof out.bytes, nullptr, unicode_page ? nullptr : &lossy);
  if (n <= 0 || lossy) {
    return false;
  }
  out.size = static_cast<std::size_t>(n);
  return true;
}
