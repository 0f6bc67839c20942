// The device-text printer at its edges, in the C and a UTF-8 locale, and the
// UTF-16 decoding and the code-page decision that Windows builds print
// through, checked here natively.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device_text.h"
#include "platform/code_pages.h"

namespace {
int failed = 0;

void expect(bool ok, const std::string &what) {
  if (!ok) {
    ++failed;
    std::printf("FAIL %s\n", what.c_str());
  }
}

void expect_printed(const char *locale, const wchar_t *text,
                    const std::string &shown) {
  std::setlocale(LC_CTYPE, locale);
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  put_device_text(text, out);
  std::fclose(out);
  expect(buffer == shown, std::string(locale) + ": \"" + buffer + "\"");
  std::free(buffer);
}

// Each control range and its neighbours, the edges of Unicode and of the
// surrogates; 32-bit wide text holds whole code points, so a pair is not
// joined.
const wchar_t *const edges =
    L"\x1F\x20\x7E\x7F\x80\x9F\xA0\x100\xD7FF\xD800\xDFFF"
    L"\xE000\xD83D\xDE00\xFFFFFFFF\x10FFFF\x110000";
// Each run of characters that show as "?" although a UTF-8 terminal has
// them (format characters, bidirectional controls, separators, tags), and
// its neighbours.
const wchar_t *const invisible =
    L"\xAC\xAD\xAE\x61B\x61C\x61D\x200A\x200B\x200F\x2010\x2027\x2028\x202E"
    L"\x202F\x205F\x2060\x2064\x2065\x2066\x2069\x206A\xFEFE\xFEFF\xFF00"
    L"\xFFF8\xFFF9\xFFFB\xFFFC\xDFFFF\xE0000\xE007F\xE0080";
// What the C locale cannot show.
const wchar_t *const ascii_only = L"A~\x7F\xA0\xE0041\x20AC";

// Two UTF-16 units, the code point they start with and how many it takes.
const struct {
  wchar_t units[3];
  char32_t code_point;
  long used;
} utf16[] = {
    {{0xD800, 0xDC00}, 0x10000, 2}, {{0xDBFF, 0xDFFF}, 0x10FFFF, 2},
    {{0xD83D, 0xDE00}, 0x1F600, 2}, {{0xD7FF, 0xDC00}, 0xD7FF, 1},
    {{0xDC00, 0xDC00}, 0xDC00, 1},  {{0xD800, 0xDBFF}, 0xD800, 1},
    {{0xD800, 0xE000}, 0xD800, 1},  {{0xD800}, 0xD800, 1},
    {{0xE000, 0xDC00}, 0xE000, 1},
};
// Each run of code pages that refuse the flags, and its neighbours.
const struct {
  unsigned code_page;
  bool refuses;
} code_pages[] = {
    {41, false},    {42, true},    {43, false},    {1252, false},
    {50219, false}, {50220, true}, {50229, true},  {50230, false},
    {54935, false}, {54936, true}, {54937, false}, {57001, false},
    {57002, true},  {57011, true}, {57012, false}, {64999, false},
    {65000, true},  {65001, true}, {65002, false},
};
} // namespace

int main() {
  expect_printed("C.UTF-8", edges,
                 "? ~???\xC2\xA0\xC4\x80\xED\x9F\xBF??\xEE\x80\x80???"
                 "\xF4\x8F\xBF\xBF?");
  expect_printed(
      "C.UTF-8", invisible,
      "\u00AC?\u00AE\u061B?\u061D\u200A??\u2010\u2027??\u202F\u205F??"
      "\u2065??\u206A\uFEFE?\uFF00\uFFF8??\uFFFC\U000DFFFF??\U000E0080");
  expect_printed("C", ascii_only, "A~????");
  for (const auto &c : utf16) {
    const wchar_t *text = c.units;
    const char32_t code_point = take_code_point(text, true);
    expect(code_point == c.code_point && text - c.units == c.used,
           "UTF-16 from " + std::to_string(c.units[0]));
  }
  for (const auto &c : code_pages) {
    expect(code_page_refuses_flags(c.code_page) == c.refuses,
           "code page " + std::to_string(c.code_page));
  }
  std::printf("device_text: %d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
