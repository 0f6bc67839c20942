#include "device_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "default_ignorable.h"
#include "platform/platform.h"

namespace {
// What never reaches the console as itself, whatever it can show:
// characters that act instead of showing (controls), that can make one
// serial number display as another (bidirectional controls, line breaks),
// that show as nothing, so that a copied serial number carries what nobody
// saw (Unicode's own list, and the interlinear annotation controls), and
// what is no character at all.
constexpr code_point_range refused[] = {
    {0x00, 0x1F},     // C0 controls
    {0x7F, 0x9F},     // DEL, C1 controls
    {0x061C, 0x061C}, // Arabic letter mark
    {0x200E, 0x200F}, // LRM, RLM
    {0x2028, 0x202E}, // line and paragraph separators, embeddings, overrides
    {0x2066, 0x2069}, // isolates
    {0xD800, 0xDFFF}, // surrogates
    {0xFFF9, 0xFFFB}, // interlinear annotation
    {0x110000, 0xFFFFFFFF}, // past Unicode
};

bool is_refused(char32_t c) {
  const auto holds = [c](const code_point_range &range) {
    return c >= range.first && c <= range.last;
  };
  return std::any_of(std::begin(refused), std::end(refused), holds) ||
         std::any_of(std::begin(default_ignorable), std::end(default_ignorable),
                     holds);
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
    char32_t c = take_code_point(text, sizeof(wchar_t) == 2);
    if (is_refused(c)) {
      c = U'?';
    }
    if (put_to_unicode_console(c, out)) {
      continue;
    }
    console_char ch; // filled in only where the encoding succeeds
    if (!encode_for_console(c, ch) || has_control_byte(ch)) {
      std::fputc('?', out);
    } else {
      std::fwrite(ch.bytes, 1, ch.size, out);
    }
  }
}
