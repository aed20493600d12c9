// The test build's clock: the tick's sleep and wait, the clock, the machine's
// memory and the disk's writing behind come from the scripted capture
// library, so the loop's time passes only as the script says.
#include "platform.h"

void hand_over_stretch(int fd, long long from, long long bytes);

extern "C" void fake_sleep_ms(int ms);
extern "C" bool fake_wait_for_packets(pcap_t* const* captures, int count, int ms);
extern "C" bool fake_stamps_own_clock();
extern "C" long long fake_clock_ms();
extern "C" long long fake_memory_bytes();
extern "C" void fake_write_behind(long long from, long long bytes);

void sleep_ms(int ms) { fake_sleep_ms(ms); }
bool wait_for_packets(pcap_t* const* captures, int count, int ms) {
  return fake_wait_for_packets(captures, count, ms);
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
