// Device discovery and opening: fills the adapter table.
#include "platform.h"
#include "quorvane.h"

// "\n" + GBK for "please make sure you installed WinPcap." around "WinPcap".
static const char NO_INTERFACES_MESSAGE[] =
    "\n\xC7\xEB\xC8\xB7\xC8\xCF\xC4\xFA\xB0\xB2\xD7\xB0\xC1\xCB"
    "WinPcap"
    "\xA1\xA3"
    "No interfaces found! Make sure WinPcap is installed.\n";

static void list_devices(const pcap_if_t* devices) {
  int i = 1;
  for (const pcap_if_t* d = devices; d != nullptr; d = d->next, ++i) {
    printf("%d. %s (%s)\n", i, d->name,
           d->description != nullptr ? d->description : "No description available");
  }
}

int ring_buffer_bytes(long long memory_bytes, int devices) {
  if (memory_bytes <= 0 || devices <= 0) return MIN_RING_BUFFER_BYTES;
  const long long share = memory_bytes / RING_MEMORY_SHARE / devices;
  if (share < MIN_RING_BUFFER_BYTES) return MIN_RING_BUFFER_BYTES;
  if (share > MAX_RING_BUFFER_BYTES) return MAX_RING_BUFFER_BYTES;
  return static_cast<int>(share);
}

// Activates the capture and puts back the firewall's loggers if that
// changed them: the library binds the IPv4 logger to the netfilter log group
// its nflog device reads, for good, which would send the firewall's own log
// (LOG rules, TRACE, conntrack's reports) to a group nobody reads once the
// run is over.  The nflog device still gets what NFLOG rules send it.
static int activate_leaving_loggers(pcap_t* capture) {
  FirewallLoggers loggers;
  note_firewall_loggers(&loggers);
  const int activated = pcap_activate(capture);
  restore_firewall_loggers(&loggers);
  return activated;
}

// Snapshot length SNAPLEN, promiscuous, and reads that never wait, since
// the draining pass reads until nothing is waiting and a read that blocked
// would stall the whole capture.  A device that cannot promise that is not
// used.  The block timeout suits the loop's 100 ms ticks (see
// BLOCK_TIMEOUT_MS).
pcap_t* open_adapter(const char* name, int buffer_bytes, char* errbuf) {
  pcap_t* capture = pcap_create(name, errbuf);
  if (capture == nullptr) return nullptr;
  if (pcap_set_snaplen(capture, SNAPLEN) != 0 || pcap_set_promisc(capture, 1) != 0 ||
      pcap_set_timeout(capture, BLOCK_TIMEOUT_MS) != 0 ||
      pcap_set_buffer_size(capture, buffer_bytes) != 0 || activate_leaving_loggers(capture) < 0 ||
      pcap_setnonblock(capture, 1, errbuf) != 0) {
    pcap_close(capture);
    return nullptr;
  }
  return capture;
}

// The buffers are split over the devices that will be tried: how many of
// them open is known only once their buffers exist.
static void open_first_devices(AdapterTable* table, const pcap_if_t* devices, char* errbuf) {
  int to_try = 0;
  for (const pcap_if_t* d = devices; d != nullptr && to_try < MAX_ADAPTERS; d = d->next) ++to_try;
  const int buffer_bytes = ring_buffer_bytes(physical_memory_bytes(), to_try);
  int tried = 0;
  for (const pcap_if_t* d = devices; d != nullptr && tried < MAX_ADAPTERS; d = d->next, ++tried) {
    pcap_t* capture = opening_changes_the_machine(d->name)
                          ? nullptr
                          : open_adapter(d->name, buffer_bytes, errbuf);
    if (capture == nullptr) {
      fprintf(stderr, "\nUnable to open this adapter. %s is not supported by WinPcap\n", d->name);
      continue;
    }
    Adapter* slot = &table->slots[table->count];
    *slot = Adapter{};
    slot->capture = capture;
    slot->buffer_bytes = buffer_bytes;
    ++table->count;
    fprintf(stderr, "Open adapter: %s.\n", d->name);
  }
}

bool open_adapters(AdapterTable* table, pcap_if_t** devices) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  table->count = 0;
  table->writer = nullptr;
  *devices = nullptr;

  printf("Retrieving adapter list...\n");
  if (!load_capture_library(errbuf) || pcap_findalldevs(devices, errbuf) == -1) {
    fprintf(stderr, "Error in pcap_findalldevs: %s\n", errbuf);
    return false;
  }
  if (*devices == nullptr) {
    fputs(NO_INTERFACES_MESSAGE, stdout);
    return false;
  }
  list_devices(*devices);

  printf("\nOpening adapters...\n");
  open_first_devices(table, *devices, errbuf);
  if (table->count == 0) {
    fprintf(stderr, "\nUnable to open any adapter. None is supported by WinPcap\n");
    pcap_freealldevs(*devices);
    *devices = nullptr;
    return false;
  }
  fprintf(stderr, "Open %d adapters.\n", table->count);
  return true;
}
