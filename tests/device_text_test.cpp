// The device-text printer at its edges in a UTF-8 locale (the other locales
// are the locales group's, with the real hidapi), against Unicode's own data
// for what shows as nothing, and the UTF-16 decoding and the code-page
// decision that Windows builds print through, checked here natively.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <map>
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

std::string printed(const wchar_t *text) {
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  put_device_text(text, out);
  std::fclose(out);
  std::string shown(buffer, size);
  std::free(buffer);
  return shown;
}

void expect_printed(const wchar_t *text, const std::string &shown) {
  const std::string got = printed(text);
  expect(got == shown, "printed \"" + got + "\"");
}

// Each control range and its neighbours, the edges of Unicode and of the
// surrogates; 32-bit wide text holds whole code points, so a pair is not
// joined.
const wchar_t *const edges =
    L"\x1F\x20\x7E\x7F\x80\x9F\xA0\x100\xD7FF\xD800\xDFFF"
    L"\xE000\xD83D\xDE00\xFFFFFFFF\x10FFFF\x110000";
// Refused whatever Unicode's list of what shows as nothing says: the
// bidirectional controls, the separators, the interlinear annotation.
const wchar_t *const refused_too =
    L"\x61C\x200E\x200F\x2028\x2029\x202A\x202E\x2066\x2069\xFFF9\xFFFB";
// What shows: their neighbours, a combining accent, a heart, a Hebrew
// letter, an Arabic number sign (a format character that shows).
const wchar_t *const showing = L"\x61B\x2027\xFFFC\x301\x2665\x5D0\x600";

// Unicode's own list of what shows as nothing (Default_Ignorable_Code_Point,
// from Debian's unicode-data): every one of them must print as "?", and the
// character just outside each range as itself, unless refused too.
void check_default_ignorable() {
  std::ifstream data("/usr/share/unicode/DerivedCoreProperties.txt");
  std::map<wchar_t, bool> hidden;
  std::string line;
  while (std::getline(data, line)) {
    unsigned first = 0;
    unsigned last = 0;
    char word[64] = "";
    if (std::sscanf(line.c_str(), "%x..%x ; %63s", &first, &last, word) == 1) {
      std::sscanf(line.c_str(), "%x ; %63s", &last, word);
    }
    if (std::strcmp(word, "Default_Ignorable_Code_Point") == 0) {
      for (unsigned c = first; c <= last; ++c) {
        hidden[static_cast<wchar_t>(c)] = true;
      }
      for (const auto c :
           {static_cast<wchar_t>(first - 1), static_cast<wchar_t>(last + 1)}) {
        hidden.emplace(c, std::wcschr(refused_too, c) != nullptr);
      }
    }
  }
  std::string wrong;
  for (const auto &[c, hides] : hidden) {
    const wchar_t text[] = {c, 0};
    wrong += (printed(text) == "?") == hides ? "" : " " + std::to_string(c);
  }
  expect(hidden.size() > 100 && wrong.empty(),
         "Unicode's data (unicode-data), what shows as nothing, shown wrong:" +
             wrong);
}

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
  std::setlocale(LC_CTYPE, "C.UTF-8");
  expect_printed(edges, "? ~???\xC2\xA0\xC4\x80\xED\x9F\xBF??\xEE\x80\x80???"
                        "\xF4\x8F\xBF\xBF?");
  expect_printed(refused_too, std::string(std::wcslen(refused_too), '?'));
  expect_printed(showing, "\u061B\u2027\uFFFC\u0301\u2665\u05D0\u0600");
  check_default_ignorable();
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
