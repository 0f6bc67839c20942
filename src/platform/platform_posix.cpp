#include "platform/platform.h"

#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>

#include <locale.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {
// The UTF-8 locale that device text is decoded under, while it is in use,
// and the user's to go back to.
locale_t utf8_locale = nullptr;
locale_t user_locale = nullptr;

// The terminal settings to put back if a signal ends the program during the
// pause; only touched from the main flow before the handlers are installed.
termios saved_terminal;

void restore_and_reraise(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

constexpr int ending_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// One key press, without Enter and without echo. A key that sends several
// bytes (an arrow, a function key) arrives in one read, and whatever is left
// is discarded so that it does not spill into the shell afterwards. The
// program ends right after the pause, so the handlers stay; none of them
// returns, so no read is ever interrupted.
void wait_for_key_on_terminal() {
  termios raw = saved_terminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;

  struct sigaction restore = {};
  restore.sa_handler = restore_and_reraise;
  for (const int sig : ending_signals) {
    sigaction(sig, &restore, nullptr);
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);

  char key[32];
  [[maybe_unused]] const auto got = read(STDIN_FILENO, key, sizeof key);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
}
} // namespace

void init_console() { std::setlocale(LC_CTYPE, ""); }

void begin_utf8_device_text() {
  // C.UTF-8 comes with the C library; where it is missing, the text is
  // decoded in the user's locale, as hidapi would anyway.
  utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (utf8_locale != nullptr) {
    user_locale = uselocale(utf8_locale);
  }
}

void end_utf8_device_text() {
  if (utf8_locale != nullptr) {
    uselocale(user_locale);
    freelocale(utf8_locale);
    utf8_locale = nullptr;
  }
}

void sleep_ms(unsigned ms) {
  // The program handles no signal while it sleeps, so nothing cuts it short.
  const timespec wait = {static_cast<time_t>(ms / 1000),
                         static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&wait, nullptr);
}

void pause_console() {
  std::fputs("Press any key to continue . . . ", stdout);
  // Our own text must reach a pipe or file before the wait, as on a console.
  std::fflush(stdout);

  if (isatty(STDIN_FILENO) != 0 &&
      tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
    wait_for_key_on_terminal();
  } else {
    // Not a terminal: one byte is the key; end of input or an error ends the
    // wait at once.
    char key;
    [[maybe_unused]] const auto got = read(STDIN_FILENO, &key, 1);
  }
  std::fputs("\n", stdout);
}

bool put_to_unicode_console(char32_t /*code_point*/, std::FILE * /*out*/) {
  return false; // a terminal takes bytes in the locale's encoding
}

bool encode_for_console(char32_t code_point, console_char &out) {
  static_assert(sizeof out.bytes >= std::size_t{2} * MB_LEN_MAX,
                "a character must fit");
  std::mbstate_t state = {};
  std::size_t n =
      std::wcrtomb(out.bytes, static_cast<wchar_t>(code_point), &state);
  if (n == static_cast<std::size_t>(-1)) {
    return false;
  }
  // A stateful charset (BIG5-HKSCS, the JIS X 0213 ones, TSCII) may hold a
  // character back in case the next one combines with it; ending the state
  // gives its bytes, and a NUL that is not the character's.
  const std::size_t ending = std::wcrtomb(out.bytes + n, L'\0', &state);
  if (ending == static_cast<std::size_t>(-1)) {
    return false;
  }
  n += ending - 1;
  // A single byte from 0x80 to 0x9F may spell a printable character (KOI8-R's
  // box drawing, Vietnamese letters in TCVN), but 8-bit terminals obey it as
  // a C1 control. And no character may vanish unseen.
  const auto first = static_cast<unsigned char>(out.bytes[0]);
  if (n == 0 || (n == 1 && first >= 0x80 && first <= 0x9F)) {
    return false;
  }
  out.size = n;
  return true;
}
