// The test build's clock: the tick's sleep and wait, the clock, the machine's
// memory and the disk's writing behind come from the scripted capture
// library, so the loop's time passes only as the script says.
#include "platform.h"

void hand_over_stretch(int fd, long long from, long long bytes);

extern "C" void fake_sleep_ms(int ms);
extern "C" long long fake_clock_ms();
extern "C" long long fake_memory_bytes();
extern "C" void fake_write_behind(long long from, long long bytes);

void sleep_ms(int ms) { fake_sleep_ms(ms); }
// The script's packets turn readable on the ticks, when the program reads
// anyway: nothing wakes it sooner.
bool wait_for_packets(pcap_t* const*, int, int ms) {
  fake_sleep_ms(ms);
  return false;
}
long long monotonic_ms() { return fake_clock_ms(); }
// The script stamps its packets on its own clock.
void capture_clock(timeval* now) {
  const long long ms = fake_clock_ms();
  now->tv_sec = static_cast<long>(ms / 1000);
  now->tv_usec = static_cast<long>(ms % 1000) * 1000;
}
long long physical_memory_bytes() { return fake_memory_bytes(); }
// In the writer process, taking the real time the script gives it.
void hand_over_stretch(int, long long from, long long bytes) { fake_write_behind(from, bytes); }
