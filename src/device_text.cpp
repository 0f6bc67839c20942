#include "device_text.h"

#include <cstddef>
#include <cstdio>

#include "platform/platform.h"

namespace {
// C0 controls and DEL are caught below by their bytes, in any encoding. The
// C1 controls need catching by code point: UTF-8 spells them without a
// control byte (C2 80 .. C2 9F), and some terminals still obey them. So do
// the bidirectional controls and the line and paragraph separators, which
// can make one serial number display as another.
bool is_unsafe(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// No control byte may reach the console, whatever character it spells: an
// encoding may give a harmless character one (a legacy code page's glyph for
// 0x01, a shift sequence's ESC).
bool has_control_byte(const console_char &ch) {
  for (std::size_t i = 0; i < ch.size; ++i) {
    const auto byte = static_cast<unsigned char>(ch.bytes[i]);
    if (byte < 0x20 || byte == 0x7F) {
      return true;
    }
  }
  return false;
}
} // namespace

char32_t take_code_point(const wchar_t *&text, bool utf16) {
  const auto first = static_cast<char32_t>(*text++);
  if (utf16 && first >= 0xD800 && first <= 0xDBFF) {
    const auto second = static_cast<char32_t>(*text);
    if (second >= 0xDC00 && second <= 0xDFFF) {
      ++text;
      return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
    }
  }
  return first;
}

void put_device_text(const wchar_t *text, std::FILE *out) {
  if (text == nullptr) {
    std::fputs("(null)", out);
    return;
  }
  while (*text != L'\0') {
    const char32_t c = take_code_point(text, sizeof(wchar_t) == 2);
    console_char ch; // filled in only where the encoding succeeds
    if (is_unsafe(c) || !encode_for_console(c, ch) || has_control_byte(ch)) {
      std::fputc('?', out);
    } else {
      std::fwrite(ch.bytes, 1, ch.size, out);
    }
  }
}
