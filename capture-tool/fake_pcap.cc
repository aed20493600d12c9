// A scriptable stand-in for the capture library, linked in its place into a
// test build of the program, for what real devices cannot show on demand.
//
// The script (file named by QUORVANE_FAKE_SCRIPT), one directive a line:
//   findalldevs-error TEXT      enumeration fails with TEXT
//   device NAME                 a device without a description
//   device NAME|TEXT            a device described as TEXT (may be empty)
//   open-fails NAME             opening NAME fails
//   nonblock-fails NAME         NAME opens but cannot be made non-blocking
//   close-fails NAME            closing NAME's capture file fails (EDQUOT),
//                               as a network file system may report a quota
//                               only then (not in the Windows build)
//   linktype NAME N             NAME's link-layer type (default 1)
//   packets NAME TICK N LEN     N packets of LEN bytes readable from TICK on
//   packets-at NAME MS N LEN STAMP
//                               N packets of LEN bytes readable from MS ms
//                               on the program's clock, stamped STAMP ms
//   stamps-own-clock            the packets' stamps follow a clock of their
//                               own, which the program's need not agree
//                               with (as Npcap's)
//   read-error NAME TICK        the first read of NAME on TICK fails
//   drops NAME N                NAME reports N packets dropped
//   read-cost US                every packet read takes US microseconds
//   write-behind-cost MS        handing a stretch of a capture file to the
//                               disk takes MS milliseconds of real time (it
//                               is done beside the program's clock)
//   memory BYTES                the machine's physical memory (default 16 GiB)
//   write-cost MS               each write of a capture file by the
//                               program's file writer takes MS milliseconds
//                               of real time before it starts
//   raise-at SERIAL SIGNAL      the read of packet SERIAL (counted over all
//                               devices from 1) sends SIGNAL to the process,
//                               as another process would, before it returns
//   fault-at SERIAL             the read of packet SERIAL faults (an illegal
//                               instruction), with a handler installed that
//                               reports "fault handled" and exits 70, as a
//                               sanitizer's would
// The program's clock is the script's: it starts at 0 and moves only by the
// program's sleeps and waits and the cost of its reads; a wait ends early,
// like the kernel's, when a packet turns readable on one of the captures it
// waits on.  Tick t is what the program
// reads from 100 x (t + 1) ms on, so with no read cost tick 0 is what it
// reads after its first sleep.  A program that sleeps for real (the Windows
// build under wine) does not use this clock; its ticks are then counted in
// 100 ms from enumeration.  Built with QUORVANE_FAKE_WINPCAP, the Windows
// library lacks pcap_dump_hopen, as WinPcap 4.1.3 does.
// Every call is logged, a line each, to the file named by QUORVANE_FAKE_LOG.
#include <errno.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <string>
#include <vector>

namespace {

struct FakePacket {
  long long readable_ms;
  int length;
  long long stamp_ms;  // -1: stamped with the tick it is read on
};

struct FakeDevice {
  std::string name;
  bool has_description = false;
  std::string description;
  bool open_fails = false;
  bool nonblock_fails = false;
  bool close_fails = false;
  int linktype = DLT_EN10MB;
  std::vector<FakePacket> packets;
  std::vector<int> read_errors;
  unsigned drops = 0;
};

struct Script {
  bool loaded = false;
  std::string findalldevs_error;
  bool enumeration_fails = false;
  std::vector<FakeDevice> devices;
  bool scripted_clock = false;  // the program reads the clock below
  bool stamps_own_clock = false;
  long long clock_us = 0;
  int read_cost_us = 0;
  int write_behind_cost_ms = 0;
  int write_cost_ms = 0;
  long long memory_bytes = 16LL << 30;
  std::chrono::steady_clock::time_point enumerated;
  unsigned packet_serial = 0;
  unsigned raise_serial = 0;
  int raise_signal = 0;
  unsigned fault_serial = 0;
};

Script& script() {
  static Script s;
  return s;
}

// Opened at the first call and kept: a program run as root gives up the
// right to open it again once its capture starts.  Each line goes out at
// once, so a run killed by a signal leaves its whole log.
void log_call(const char* format, ...) {
  static FILE* log = nullptr;
  if (log == nullptr) {
    const char* path = getenv("QUORVANE_FAKE_LOG");
    log = path != nullptr ? fopen(path, "a") : nullptr;
    if (log == nullptr) return;
  }
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  fputc('\n', log);
  fflush(log);
}

FakeDevice* find_device(const std::string& name) {
  for (FakeDevice& d : script().devices)
    if (d.name == name) return &d;
  return nullptr;
}

// A device a directive names must have been declared before it.
FakeDevice* scripted_device(const char* name) {
  FakeDevice* d = find_device(name);
  if (d == nullptr) {
    fprintf(stderr, "fake pcap: unknown device %s\n", name);
    abort();
  }
  return d;
}

void apply(const std::string& word, const std::string& rest) {
  Script& s = script();
  char name[256] = "";
  int a = 0, b = 0, c = 0;
  if (word == "findalldevs-error") {
    s.enumeration_fails = true;
    s.findalldevs_error = rest;
  } else if (word == "device") {
    FakeDevice d;
    size_t bar = rest.find('|');
    d.name = rest.substr(0, bar);
    if (bar != std::string::npos) {
      d.has_description = true;
      d.description = rest.substr(bar + 1);
    }
    s.devices.push_back(d);
  } else if (word == "read-cost") {
    s.read_cost_us = atoi(rest.c_str());
  } else if (word == "write-behind-cost") {
    s.write_behind_cost_ms = atoi(rest.c_str());
  } else if (word == "write-cost") {
    s.write_cost_ms = atoi(rest.c_str());
  } else if (word == "memory") {
    s.memory_bytes = atoll(rest.c_str());
  } else if (word == "raise-at") {
    sscanf(rest.c_str(), "%u %d", &s.raise_serial, &s.raise_signal);
  } else if (word == "fault-at") {
    sscanf(rest.c_str(), "%u", &s.fault_serial);
  } else if (word == "stamps-own-clock") {
    s.stamps_own_clock = true;
  } else if (word == "packets-at") {
    long long stamp_ms = 0;
    sscanf(rest.c_str(), "%255s %d %d %d %lld", name, &a, &b, &c, &stamp_ms);
    FakeDevice* d = scripted_device(name);
    for (int i = 0; i < b; ++i) d->packets.push_back({a, c, stamp_ms});
  } else if (sscanf(rest.c_str(), "%255s %d %d %d", name, &a, &b, &c) >= 1) {
    FakeDevice* d = scripted_device(name);
    if (word == "open-fails") d->open_fails = true;
    if (word == "nonblock-fails") d->nonblock_fails = true;
    if (word == "close-fails") d->close_fails = true;
    if (word == "linktype") d->linktype = a;
    if (word == "read-error") d->read_errors.push_back(a);
    if (word == "drops") d->drops = static_cast<unsigned>(a);
    if (word == "packets")
      for (int i = 0; i < b; ++i) d->packets.push_back({100LL * (a + 1), c, -1});
  }
}

void load_script() {
  Script& s = script();
  if (s.loaded) return;
  s.loaded = true;
  const char* path = getenv("QUORVANE_FAKE_SCRIPT");
  FILE* in = path != nullptr ? fopen(path, "r") : nullptr;
  if (in == nullptr) return;
  char line[1024];
  while (fgets(line, sizeof line, in) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t space = text.find(' ');
    if (text.empty() || text[0] == '#') continue;
    apply(text.substr(0, space), space == std::string::npos ? "" : text.substr(space + 1));
  }
  fclose(in);
}

long long current_ms() {
  const Script& s = script();
  if (s.scripted_clock) return s.clock_us / 1000;
  const auto elapsed = std::chrono::steady_clock::now() - s.enumerated;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

int current_tick() { return static_cast<int>(current_ms() / 100) - 1; }

#ifndef _WIN32
void report_fault(int) {
  static const char text[] = "fault handled\n";
  const ssize_t written = write(2, text, sizeof text - 1);
  static_cast<void>(written);
  _exit(70);
}
#endif

void fault() {
#ifndef _WIN32
  signal(SIGILL, report_fault);
#endif
  __builtin_trap();
}

void write_u32(FILE* f, uint32_t v) { fwrite(&v, 4, 1, f); }
void write_u16(FILE* f, uint16_t v) { fwrite(&v, 2, 1, f); }

}  // namespace

struct pcap {
  FakeDevice* device;
  size_t next_packet;
  int snaplen;
  int promisc;
  int timeout;
  int buffer_size;
  bool nonblocking;
#ifdef _WIN32
  HANDLE event;
#endif
  pcap_pkthdr header;
  u_char data[65536];
};

extern "C" {

void fake_sleep_ms(int ms) {
  Script& s = script();
  s.scripted_clock = true;
  s.clock_us += ms * 1000LL;
  log_call("sleep %d", ms);
}

long long fake_memory_bytes() {
  load_script();
  return script().memory_bytes;
}

static void block_for_real(int ms) {
#ifdef _WIN32
  Sleep(static_cast<DWORD>(ms));
#else
  timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0) {
  }
#endif
}

// Called in the program's writer process, which shares the log (each line
// goes out in one append): it blocks for real, as a slow disk's queue
// would, and leaves the script's clock alone.
void fake_write_behind(long long from, long long bytes) {
  log_call("write-behind %lld %lld", from, bytes);
  block_for_real(script().write_behind_cost_ms);
}

// Called by the program's file writer before each write: it blocks for
// real, as a kernel that holds back writers for a slow disk would.
void fake_write_cost() { block_for_real(script().write_cost_ms); }

// To the process, which any of its threads not holding it may take, as a
// signal from another process.
static void send_signal(int sig) {
#ifdef _WIN32
  raise(sig);
#else
  kill(getpid(), sig);
#endif
}

// The first time one of the captures' next packets turns readable, if that
// comes within ms: the wait ends then, with every capture whose next packet
// is readable by then ready.  Otherwise it lasts ms.
bool fake_wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready) {
  Script& s = script();
  s.scripted_clock = true;
  const long long now_ms = s.clock_us / 1000;
  long long first_ms = now_ms + ms;
  for (int i = 0; i < count; ++i) {
    const pcap_t* p = captures[i];
    if (p->next_packet >= p->device->packets.size()) continue;
    const long long readable_ms = p->device->packets[p->next_packet].readable_ms;
    if (readable_ms < first_ms) first_ms = readable_ms > now_ms ? readable_ms : now_ms;
  }
  if (first_ms == now_ms + ms) {
    fake_sleep_ms(ms);
    return false;
  }
  s.clock_us += (first_ms - now_ms) * 1000;
  for (int i = 0; i < count; ++i) {
    const pcap_t* p = captures[i];
    ready[i] = p->next_packet < p->device->packets.size() &&
               p->device->packets[p->next_packet].readable_ms <= first_ms;
  }
  log_call("wake after %lld", first_ms - now_ms);
  return true;
}

bool fake_stamps_own_clock() { return script().stamps_own_clock; }

long long fake_clock_ms() {
  Script& s = script();
  s.scripted_clock = true;
  return s.clock_us / 1000;
}

int pcap_findalldevs(pcap_if_t** list, char* errbuf) {
  load_script();
  Script& s = script();
  log_call("findalldevs");
  s.enumerated = std::chrono::steady_clock::now();
  if (s.enumeration_fails) {
    snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", s.findalldevs_error.c_str());
    return -1;
  }
  pcap_if_t* head = nullptr;
  pcap_if_t** tail = &head;
  for (FakeDevice& d : s.devices) {
    pcap_if_t* entry = static_cast<pcap_if_t*>(calloc(1, sizeof(pcap_if_t)));
    entry->name = strdup(d.name.c_str());
    entry->description = d.has_description ? strdup(d.description.c_str()) : nullptr;
    *tail = entry;
    tail = &entry->next;
  }
  *list = head;
  return 0;
}

void pcap_freealldevs(pcap_if_t* list) {
  log_call("freealldevs");
  while (list != nullptr) {
    pcap_if_t* next = list->next;
    free(list->name);
    free(list->description);
    free(list);
    list = next;
  }
}

pcap_t* pcap_create(const char* name, char* errbuf) {
  FakeDevice* d = find_device(name);
  if (d == nullptr) {
    snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: no such device", name);
    return nullptr;
  }
  pcap_t* p = new pcap_t();
  p->device = d;
  return p;
}

int pcap_set_snaplen(pcap_t* p, int snaplen) {
  p->snaplen = snaplen;
  return 0;
}

int pcap_set_promisc(pcap_t* p, int promisc) {
  p->promisc = promisc;
  return 0;
}

int pcap_set_timeout(pcap_t* p, int timeout) {
  p->timeout = timeout;
  return 0;
}

int pcap_set_buffer_size(pcap_t* p, int size) {
  p->buffer_size = size;
  return 0;
}

int pcap_activate(pcap_t* p) {
  log_call("open %s snaplen=%d promisc=%d timeout=%d buffer=%d", p->device->name.c_str(),
           p->snaplen, p->promisc, p->timeout, p->buffer_size);
  return p->device->open_fails ? PCAP_ERROR_NO_SUCH_DEVICE : 0;
}

int pcap_setnonblock(pcap_t* p, int nonblock, char* errbuf) {
  log_call("setnonblock %s %d", p->device->name.c_str(), nonblock);
  if (p->device->nonblock_fails) {
    snprintf(errbuf, PCAP_ERRBUF_SIZE, "non-blocking mode not supported");
    return -1;
  }
  p->nonblocking = nonblock != 0;
  return 0;
}

void pcap_close(pcap_t* p) {
  log_call("close %s", p->device->name.c_str());
#ifdef _WIN32
  if (p->event != nullptr) CloseHandle(p->event);
#endif
  delete p;
}

#ifdef _WIN32
// The script's packets turn readable on the ticks, when the program reads
// anyway: the event is never signalled, and a wait for it lasts its time.
HANDLE pcap_getevent(pcap_t* p) {
  if (p->event == nullptr) p->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return p->event;
}
#endif

int pcap_datalink(pcap_t* p) { return p->device->linktype; }

char* pcap_geterr(pcap_t*) {
  static char text[] = "fake error";
  return text;
}

int pcap_next_ex(pcap_t* p, pcap_pkthdr** header, const u_char** data) {
  FakeDevice* d = p->device;
  if (!p->nonblocking) {
    fprintf(stderr, "fake pcap: %s read while it may block\n", d->name.c_str());
    abort();
  }
  const int tick = current_tick();
  for (int& t : d->read_errors) {
    if (t == tick) {
      t = -1;
      log_call("read %s error", d->name.c_str());
      return PCAP_ERROR;
    }
  }
  if (p->next_packet >= d->packets.size() ||
      d->packets[p->next_packet].readable_ms > current_ms()) {
    log_call("read %s none", d->name.c_str());
    return 0;
  }
  const FakePacket& packet = d->packets[p->next_packet++];
  const unsigned serial = ++script().packet_serial;
  script().clock_us += script().read_cost_us;
  const long long stamp_ms = packet.stamp_ms >= 0 ? packet.stamp_ms : 100LL * tick;
  p->header.ts.tv_sec = static_cast<long>(stamp_ms / 1000);
  p->header.ts.tv_usec = static_cast<long>(stamp_ms % 1000) * 1000L;
  p->header.len = packet.length;
  p->header.caplen = packet.length;
  for (int i = 0; i < packet.length; ++i) p->data[i] = static_cast<u_char>(serial + i);
  *header = &p->header;
  *data = p->data;
  log_call("read %s packet %u", d->name.c_str(), serial);
  if (serial == script().raise_serial) send_signal(script().raise_signal);
  if (serial == script().fault_serial) fault();
  return 1;
}

// Like the real library, the dumper is the stream itself.
static pcap_dumper_t* start_file(pcap_t* p, FILE* f) {
  log_call("dump_open %s", p->device->name.c_str());
  write_u32(f, 0xa1b2c3d4);
  write_u16(f, 2);
  write_u16(f, 4);
  write_u32(f, 0);
  write_u32(f, 0);
  write_u32(f, p->snaplen);
  write_u32(f, p->device->linktype);
  return reinterpret_cast<pcap_dumper_t*>(f);
}

#ifndef _WIN32
// A stream over the program's own that passes each write straight through
// and fails its close, once the program's stream is closed.  A failed write
// counts 0 bytes: stdio takes a negative count for bytes written.
static ssize_t pass_write(void* inner, const char* data, size_t size) {
  FILE* f = static_cast<FILE*>(inner);
  const size_t written = fwrite(data, 1, size, f);
  return fflush(f) == 0 && written == size ? static_cast<ssize_t>(size) : 0;
}
static int pass_seek(void* inner, off64_t* offset, int whence) {
  FILE* f = static_cast<FILE*>(inner);
  if (fseeko(f, *offset, whence) != 0) return -1;
  *offset = ftello(f);
  return 0;
}
static int fail_close(void* inner) {
  fclose(static_cast<FILE*>(inner));
  errno = EDQUOT;
  return -1;
}

pcap_dumper_t* pcap_dump_fopen(pcap_t* p, FILE* f) {
  if (p->device->close_fails) {
    const cookie_io_functions_t io = {nullptr, pass_write, pass_seek, fail_close};
    f = fopencookie(f, "w", io);
    setvbuf(f, nullptr, _IONBF, 0);
  }
  return start_file(p, f);
}
#elif !defined(QUORVANE_FAKE_WINPCAP)
// Like Npcap's: the handle becomes a stream of the library's own.
pcap_dumper_t* pcap_dump_hopen(pcap_t* p, intptr_t handle) {
  const int fd = _open_osfhandle(handle, _O_APPEND);
  FILE* f = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  return f != nullptr ? start_file(p, f) : nullptr;
}
#endif

pcap_dumper_t* pcap_dump_open(pcap_t* p, const char* name) {
  FILE* f = fopen(name, "wb");
  return f != nullptr ? start_file(p, f) : nullptr;
}

void pcap_dump(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  FILE* f = reinterpret_cast<FILE*>(user);
  write_u32(f, static_cast<uint32_t>(header->ts.tv_sec));
  write_u32(f, static_cast<uint32_t>(header->ts.tv_usec));
  write_u32(f, header->caplen);
  write_u32(f, header->len);
  fwrite(data, 1, header->caplen, f);
}

FILE* pcap_dump_file(pcap_dumper_t* dumper) { return reinterpret_cast<FILE*>(dumper); }

#ifndef _WIN32
int64_t pcap_dump_ftell64(pcap_dumper_t* dumper) { return ftello(reinterpret_cast<FILE*>(dumper)); }
#endif

int pcap_stats(pcap_t* p, pcap_stat* stats) {
  log_call("stats %s", p->device->name.c_str());
  *stats = pcap_stat{};
  stats->ps_drop = p->device->drops;
  return 0;
}

int pcap_dump_flush(pcap_dumper_t* dumper) { return fflush(reinterpret_cast<FILE*>(dumper)); }

void pcap_dump_close(pcap_dumper_t* dumper) {
  log_call("dump_close");
  fclose(reinterpret_cast<FILE*>(dumper));
}

}  // extern "C"
