#include "platform/platform.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include "platform/code_pages.h"

void init_console() { std::setlocale(LC_CTYPE, ""); }

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
  wchar_t units[2] = {};
  int count = 1;
  if (code_point >= 0x10000) {
    units[0] = static_cast<wchar_t>(0xD800 + ((code_point - 0x10000) >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<wchar_t>(code_point);
  }
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
