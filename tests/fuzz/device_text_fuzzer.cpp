// Feeds arbitrary wide strings to put_device_text() and checks that what it
// prints is always one whole, harmless line: no line ends, no
// control bytes, only what the locale can show.
//
// Input: one byte that picks the locale (odd: UTF-8, even: C), then wchar_t
// values in native byte order. Zero values are dropped, since the library
// never hands over text with an embedded terminator.

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_text.h"

namespace {
void require(bool ok) {
  if (!ok) {
    std::abort();
  }
}

// What put_device_text() prints, captured in memory.
std::string printed(const wchar_t *text) {
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  require(out != nullptr);
  put_device_text(text, out);
  require(std::fclose(out) == 0);
  std::string result(buffer, size);
  std::free(buffer);
  return result;
}

// Strict UTF-8: false on a malformed, truncated, overlong or surrogate form.
bool next_utf8(const std::string &s, std::size_t &i, char32_t &c) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t extra = 0;
  if (lead < 0x80) {
    extra = 0;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
  } else {
    return false;
  }
  if (s.size() - i <= extra) {
    return false;
  }
  c = extra == 0 ? lead : lead & (0x3Fu >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0) != 0x80) {
      return false;
    }
    c = (c << 6) | (next & 0x3Fu);
  }
  static constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
  const bool shortest = c >= least[extra];
  i += extra + 1;
  return shortest && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  if (size == 0) {
    require(printed(nullptr) == "(null)");
    return 0;
  }
  const bool utf8 = (data[0] & 1) != 0;
  require(std::setlocale(LC_CTYPE, utf8 ? "C.UTF-8" : "C") != nullptr);

  std::vector<wchar_t> text;
  for (std::size_t i = 1; i + sizeof(wchar_t) <= size; i += sizeof(wchar_t)) {
    wchar_t c;
    std::memcpy(&c, data + i, sizeof c);
    if (c != 0) {
      text.push_back(c);
    }
  }
  text.push_back(0);

  const std::string out = printed(text.data());
  for (const char ch : out) {
    const auto b = static_cast<unsigned char>(ch);
    require(b >= 0x20 && b != 0x7F);
    require(utf8 || b < 0x80);
  }
  if (utf8) {
    for (std::size_t i = 0; i < out.size();) {
      char32_t c = 0;
      require(next_utf8(out, i, c));
      require(c < 0x80 || c > 0x9F); // no C1 controls either
    }
  }
  // Every input character yields something, so nothing vanishes unseen.
  require(out.size() >= text.size() - 1);
  return 0;
}
