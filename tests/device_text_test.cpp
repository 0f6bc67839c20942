// The device-text printer at its edges, in the C and a UTF-8 locale, and the
// UTF-16 decoding that Windows builds print through, checked here natively.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_text.h"

namespace {
int failed = 0;

void expect_printed(const char *locale, const wchar_t *text,
                    const char *shown) {
  std::setlocale(LC_CTYPE, locale);
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  put_device_text(text, out);
  std::fclose(out);
  if (std::strcmp(buffer, shown) != 0) {
    ++failed;
    std::printf("FAIL in %s: expected \"%s\", printed \"%s\"\n", locale, shown,
                buffer);
  }
  std::free(buffer);
}

// Each control range and its neighbours, the edges of Unicode and of the
// surrogates; 32-bit wide text holds whole code points, so a pair is not
// joined.
const wchar_t edges[] = {0x1F,   0x20,   0x7E,   0x7F,     0x80,     0x9F,
                         0xA0,   0x100,  0xD7FF, 0xD800,   0xDFFF,   0xE000,
                         0xD83D, 0xDE00, -1,     0x10FFFF, 0x110000, 0};
const char edges_utf8[] = "? ~???\xC2\xA0\xC4\x80\xED\x9F\xBF??\xEE\x80\x80"
                          "???\xF4\x8F\xBF\xBF?";
// What the C locale cannot show, a tag character that glibc would drop
// unseen among it.
const wchar_t ascii_only[] = {0x41, 0x7E, 0x7F, 0xA0, 0xE0041, 0x20AC, 0};

struct decoding {
  wchar_t units[3];
  char32_t code_point;
  long used;
};
const decoding utf16[] = {
    {{0xD800, 0xDC00}, 0x10000, 2}, {{0xDBFF, 0xDFFF}, 0x10FFFF, 2},
    {{0xD83D, 0xDE00}, 0x1F600, 2}, {{0xD7FF, 0xDC00}, 0xD7FF, 1},
    {{0xDC00, 0xDC00}, 0xDC00, 1},  {{0xD800, 0xDBFF}, 0xD800, 1},
    {{0xD800, 0xE000}, 0xD800, 1},  {{0xD800}, 0xD800, 1},
    {{0xE000, 0xDC00}, 0xE000, 1},
};
} // namespace

int main() {
  expect_printed("C.UTF-8", edges, edges_utf8);
  expect_printed("C", ascii_only, "A~????");
  expect_printed("C", nullptr, "(null)");
  expect_printed("C", L"", "");

  for (const decoding &d : utf16) {
    const wchar_t *text = d.units;
    const char32_t code_point = take_code_point(text, true);
    if (code_point != d.code_point || text - d.units != d.used) {
      ++failed;
      std::printf(
          "FAIL UTF-16 %04X %04X: U+%04X from %ld units\n",
          static_cast<unsigned>(d.units[0]), static_cast<unsigned>(d.units[1]),
          static_cast<unsigned>(code_point), static_cast<long>(text - d.units));
    }
  }
  std::printf("device_text: %d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
