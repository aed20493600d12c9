// Quorvane: records every capture device into a file of its own.
// Shared constants, the adapter table and the console helpers.
#ifndef QUORVANE_H_
#define QUORVANE_H_

#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>

struct WriteBehind;
struct FileWriter;

const int MAX_ADAPTERS = 10;
const int DEFAULT_DURATION_MS = 120000;
const int MIN_DURATION_MS = 5000;
const int MAX_DURATION_MS = 3600000;
const int TICK_MS = 100;
const int SNAPLEN = 65536;
const char FILE_PREFIX[] = "brovel";

const int EXIT_RUN_FAILED = -1;

// Kernel buffer per adapter, at most.  The tick's wait ends as soon as the
// kernel hands over a block of packets, so a buffer holds only what arrives
// while a pass copies and writes: 16 MB is over 15 ms of what a veth link
// takes flat out here (700,000 frames/s of 1400 bytes).  Bigger buffers
// kept no more of a flood here, and every run pays for them: the kernel
// zeroes the buffers as it makes them, and they cannot be swapped out.
const int MAX_RING_BUFFER_BYTES = 16 * 1024 * 1024;
// The library's own default, and the least an adapter gets.
const int MIN_RING_BUFFER_BYTES = 2 * 1024 * 1024;
// The buffers cannot be swapped out: together they take at most this share
// of the machine's memory.
const int RING_MEMORY_SHARE = 8;
// How long the kernel may hold packets before it hands them to a read and
// ends the tick's wait: a tick, so that a packet is read within a tick of
// its arrival, while light traffic, which fills no block, wakes the loop
// about once a tick per device and not for every few packets.  With no
// read timeout the Linux library lets the kernel pick one, a single
// millisecond on fast links, which fills the buffer with nearly empty
// blocks and wakes the loop for each.
const int BLOCK_TIMEOUT_MS = TICK_MS;
// After a read that found an adapter filling a pass's share within PAUSE_MS
// the loop sleeps up to PAUSE_MS before it waits again, so that steady
// traffic is copied several blocks a pass; and a pass waits up to PAUSE_MS
// for the file writer to make room in a full ring.
const int PAUSE_MS = 10;
// The pause is never longer than the busiest adapter, at the rate it filled
// since its own read before, takes to fill this share of its kernel buffer.
const int PAUSE_BUFFER_SHARE = 4;
// Packets, and captured bytes, a draining pass reads from one adapter before
// it moves on.  Under a flood an adapter never runs dry; the share keeps the
// other adapters, the tick clock and a held interrupt from waiting on it.
// The bytes bound it under large packets: 1024 of 64 KB would be 64 MB
// copied with Ctrl+C held; 256 KB is about one write of the file.
const int PASS_SHARE_PACKETS = 1024;
const long long PASS_SHARE_BYTES = 256LL * 1024;
// Where a writer writes the files behind the loop, the ring each file's
// records wait in: sixteen passes' shares.  It takes memory only as far as
// its file has filled it.
const long long FILE_RING_BYTES = 4LL * 1024 * 1024;
// A record's header in a capture file.
const int RECORD_HEADER_BYTES = 16;
// Stretch of a capture file handed to the disk at once, as soon as the
// file has grown past it, when it filled in less than the FAST time (64
// MB/s).
const long long WRITE_BEHIND_BYTES = 2LL * 1024 * 1024;
const int WRITE_BEHIND_FAST_MS = 32;

// One opened device and the capture file written for it.
struct Adapter {
  pcap_t* capture;
  int buffer_bytes;  // the kernel buffer it was opened with
  pcap_dumper_t* file;
  intptr_t file_handle;          // the platform's own handle of the file
  long long file_bytes;          // bytes written to the file so far
  long long packets_shown;       // packets written to the file whose marks were shown
  long long written_behind;      // the file up to here is handed over or left to the kernel
  long long stretch_started_ms;  // when the file grew past written_behind
  bool write_failed;             // the file is cut back to file_bytes and not written
  long long read_bytes;          // captured bytes read so far
  bool caught_up;                // the run's last pass has read it up to the end
};

// Filled packed from slot 0 in device-list order; count is the number of
// filled slots.
struct AdapterTable {
  Adapter slots[MAX_ADAPTERS];
  int count;
  FileWriter* files;    // writes the capture files
  WriteBehind* writer;  // hands the files' stretches to the disk; null: left to the kernel
};

// Run driver and command line.
int read_duration_ms(int argc, char** argv);

// Kernel buffer for each of `devices` adapters on a machine with
// `memory_bytes` of physical memory (0 when unknown): an even split of
// 1/RING_MEMORY_SHARE of it, within MIN and MAX_RING_BUFFER_BYTES.
int ring_buffer_bytes(long long memory_bytes, int devices);

// Opens one device for live capture as every adapter is opened, with a
// kernel buffer of buffer_bytes; null when it will not open as needed.
pcap_t* open_adapter(const char* name, int buffer_bytes, char* errbuf);

// Lists the devices and opens the first MAX_ADAPTERS that will open.  On
// success the table holds at least one adapter and *devices is still held by
// the caller; on failure the reason is printed and nothing is left to release.
bool open_adapters(AdapterTable* table, pcap_if_t** devices);

// Announces the capture, writes one file per adapter for duration_ms, closes
// the adapters and releases the device list.  False when no capture file
// could be opened (the run then ends at once) or when one could not be
// written: it no longer holds what the console showed.
bool capture(AdapterTable* table, pcap_if_t* devices, int duration_ms);

// The run's last pass, after its last tick: waits until the kernel has
// handed over what it held of the time before, and reads each recorded
// adapter up to its first packet stamped well after that (a block timeout),
// showing a mark per packet (from `dots`) as every pass does.
void drain_to_the_end(AdapterTable* table, const char* dots);

// Progress marks carry no newline; the console is unbuffered on a terminal so
// they show at once.
inline void print_mark(char mark) { putchar(mark); }
inline void print_marks(const char* marks, int count) {
  fwrite(marks, 1, static_cast<size_t>(count), stdout);
}

#endif  // QUORVANE_H_
