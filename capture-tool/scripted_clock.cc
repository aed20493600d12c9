// The test build's clock: the tick's sleep and wait, the clock, the machine's
// memory, the cost of the files' writes and the disk's writing behind come
// from the scripted capture library, so the loop's time passes only as the
// script says.
#include <sys/uio.h>

#include "platform.h"

void hand_over_stretch(int fd, long long from, long long bytes);
ssize_t write_capture_stretch(int fd, const iovec* parts, int count, long long offset);

extern "C" void fake_sleep_ms(int ms);
extern "C" bool fake_wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready);
extern "C" bool fake_stamps_own_clock();
extern "C" long long fake_clock_ms();
extern "C" long long fake_memory_bytes();
extern "C" void fake_write_behind(long long from, long long bytes);
extern "C" void fake_write_cost();

void sleep_ms(int ms) { fake_sleep_ms(ms); }
bool wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready) {
  return fake_wait_for_packets(captures, count, ms, ready);
}
long long monotonic_ms() { return fake_clock_ms(); }
// The script stamps its packets on the program's clock, unless it says not.
bool capture_clock(timeval* now) {
  const long long ms = fake_clock_ms();
  now->tv_sec = static_cast<long>(ms / 1000);
  now->tv_usec = static_cast<long>(ms % 1000) * 1000;
  return !fake_stamps_own_clock();
}
long long physical_memory_bytes() { return fake_memory_bytes(); }
// In the writer process, taking the real time the script gives it.
void hand_over_stretch(int, long long from, long long bytes) { fake_write_behind(from, bytes); }
// The file writer's writes are real, and take the script's real time
// halfway through, with half the stretch in the file: a signal that ended
// the process then would leave a record torn.
ssize_t write_capture_stretch(int fd, const iovec* parts, int count, long long offset) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  iovec half[2];
  size_t left = total / 2;
  int halves = 0;
  for (int i = 0; i < count && left > 0; ++i, ++halves) {
    half[i] = {parts[i].iov_base, parts[i].iov_len < left ? parts[i].iov_len : left};
    left -= half[i].iov_len;
  }
  const ssize_t first = pwritev(fd, half, halves, offset);
  if (first < 0) return first;
  fake_write_cost();
  if (static_cast<size_t>(first) < total / 2) return first;
  iovec rest[2];
  int rests = 0;
  size_t skip = total / 2;
  for (int i = 0; i < count; ++i) {
    if (skip >= parts[i].iov_len) {
      skip -= parts[i].iov_len;
      continue;
    }
    rest[rests++] = {static_cast<char*>(parts[i].iov_base) + skip, parts[i].iov_len - skip};
    skip = 0;
  }
  const ssize_t second = pwritev(fd, rest, rests, offset + first);
  return second < 0 ? first : first + second;
}
