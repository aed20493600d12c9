// The capture time from the command line.
#include "quorvane.h"

static bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads text the way "%d" does: leading white space, an optional sign, then
// digits up to the first non-digit, the rest ignored.  Unlike "%d" a value
// beyond 32 bits is reported as unreadable instead of wrapping around.
static bool read_int(const char* text, int* value) {
  const long long limit = 2147483648LL;  // magnitude of INT_MIN
  while (is_blank(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  if (!is_digit(*text)) return false;
  long long magnitude = 0;
  for (; is_digit(*text); ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > limit) return false;
  }
  if (!negative && magnitude == limit) return false;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

int read_duration_ms(int argc, char** argv) {
  if (argc != 2) return DEFAULT_DURATION_MS;
  int seconds = 0;
  if (!read_int(argv[1], &seconds)) return DEFAULT_DURATION_MS;
  if (seconds < MIN_DURATION_MS / 1000 || seconds > MAX_DURATION_MS / 1000)
    return DEFAULT_DURATION_MS;
  return seconds * 1000;
}
