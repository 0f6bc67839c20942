// The device-text printer at its edges, in the C and a UTF-8 locale, against
// Unicode's own data for what shows as nothing, and the UTF-16 decoding and
// the code-page decision that Windows builds print through, checked here
// natively.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "default_ignorable.h"
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

void expect_printed(const char *locale, const wchar_t *text,
                    const std::string &shown) {
  std::setlocale(LC_CTYPE, locale);
  const std::string got = printed(text);
  expect(got == shown, std::string(locale) + ": \"" + got + "\"");
}

std::string name(char32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  return text;
}

std::string utf8(char32_t c) {
  if (c < 0x80) {
    return std::string(1, static_cast<char>(c));
  }
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  std::string bytes(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) |
                                         (c >> (6 * tail))));
  for (int i = tail - 1; i >= 0; --i) {
    bytes += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
  }
  return bytes;
}

// In C.UTF-8: whether one character shows as itself or as "?".
bool shows(char32_t c) {
  const wchar_t text[] = {static_cast<wchar_t>(c), 0};
  const std::string got = printed(text);
  expect(got == "?" || got == utf8(c),
         name(c) + " \"" + got + "\" is neither itself nor ?");
  return got != "?";
}

// Each control range and its neighbours, the edges of Unicode and of the
// surrogates; 32-bit wide text holds whole code points, so a pair is not
// joined.
const wchar_t *const edges =
    L"\x1F\x20\x7E\x7F\x80\x9F\xA0\x100\xD7FF\xD800\xDFFF"
    L"\xE000\xD83D\xDE00\xFFFFFFFF\x10FFFF\x110000";
// What the C locale cannot show.
const wchar_t *const ascii_only = L"A~\x7F\xA0\xE0041\x20AC";

// Characters picked by hand, and whether each shows: the bidirectional
// controls, the separators and the interlinear annotation controls, with
// their neighbours; and marks, letters and symbols that show (a combining
// accent, a heart, a Hebrew letter, an Arabic number sign).
const struct {
  char32_t c;
  bool shows;
} chosen[] = {
    {0x061B, true},  {0x061C, false}, {0x200E, false}, {0x200F, false},
    {0x2027, true},  {0x2028, false}, {0x2029, false}, {0x202A, false},
    {0x202E, false}, {0x2066, false}, {0x2069, false}, {0xFFF9, false},
    {0xFFFB, false}, {0xFFFC, true},  {0x0301, true},  {0x2665, true},
    {0x05D0, true},  {0x0600, true},
};

// Unicode's own list of what shows as nothing (Default_Ignorable_Code_Point,
// from Debian's unicode-data): every one of them must print as "?", and the
// character just outside each range as itself, unless picked above.
void check_default_ignorable() {
  std::ifstream data("/usr/share/unicode/DerivedCoreProperties.txt");
  expect(data.is_open(), "Unicode's data: install the package unicode-data");
  std::set<char32_t> listed;
  std::set<char32_t> outside;
  std::string line;
  std::string version = "?";
  while (std::getline(data, line)) {
    unsigned first = 0;
    unsigned last = 0;
    char property[64] = "";
    char version_text[16] = "";
    if (std::sscanf(line.c_str(), "# DerivedCoreProperties-%15[0-9.]",
                    version_text) == 1) {
      version = version_text;
      version.pop_back(); // the dot before "txt"
    }
    if (std::sscanf(line.c_str(), "%x..%x ; %63s", &first, &last, property) !=
            3 &&
        std::sscanf(line.c_str(), "%x ; %63s", &first, property) == 2) {
      last = first;
    }
    if (std::string(property) == "Default_Ignorable_Code_Point") {
      for (char32_t c = first; c <= last; ++c) {
        listed.insert(c);
      }
      outside.insert({first - 1, last + 1});
    }
  }
  if (version != default_ignorable_version) {
    std::printf("device_text: Unicode's data here is %s, the filter's list "
                "is from %s\n",
                version.c_str(), default_ignorable_version);
  }
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::string shown;
  for (const char32_t c : listed) {
    if (shows(c)) {
      shown += " " + name(c);
    }
  }
  expect(!listed.empty() && shown.empty(),
         "of " + std::to_string(listed.size()) +
             " characters shown as nothing, these show:" + shown);
  for (const char32_t c : outside) {
    bool expected = listed.count(c) == 0;
    for (const auto &pick : chosen) {
      expected = pick.c == c ? pick.shows : expected;
    }
    expect(shows(c) == expected, name(c) + ", beside a range");
  }
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
  expect_printed("C.UTF-8", edges,
                 "? ~???\xC2\xA0\xC4\x80\xED\x9F\xBF??\xEE\x80\x80???"
                 "\xF4\x8F\xBF\xBF?");
  expect_printed("C", ascii_only, "A~????");
  std::setlocale(LC_CTYPE, "C.UTF-8");
  for (const auto &pick : chosen) {
    expect(shows(pick.c) == pick.shows, name(pick.c));
  }
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
