#include "device_text.h"

#include "platform/platform.h"

namespace {
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool is_scalar_value(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// An encoding may still spell a harmless character with a control byte (a
// legacy code page's glyph for 0x01, a shift sequence's ESC): refuse those.
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

void put_device_text(const wchar_t *text, std::FILE *out) {
  if (text == nullptr) {
    std::fputs("(null)", out);
    return;
  }
  for (const wchar_t *p = text; *p != L'\0'; ++p) {
    // wchar_t holds whole code points where it is 32 bits wide; where it is
    // 16 bits (Windows) a character beyond the BMP is a surrogate pair.
    char32_t c = static_cast<char32_t>(*p);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      const char32_t next = static_cast<char32_t>(p[1]) & 0xFFFF;
      const bool pair = c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 &&
                        next <= 0xDFFF; // a high then a low surrogate
      if (pair) {
        c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
        ++p;
      }
    }
    console_char ch = {};
    if (is_control(c) || !is_scalar_value(c) || !encode_for_console(c, ch) ||
        has_control_byte(ch)) {
      std::fputc('?', out);
    } else {
      std::fwrite(ch.bytes, 1, ch.size, out);
    }
  }
}
