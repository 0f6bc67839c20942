// The floor a probe run cannot go below: the same two 10 ms waits, made the
// same way, and nothing else.

#include "platform/platform.h"

int main() {
  sleep_ms(10);
  sleep_ms(10);
  return 0;
}
