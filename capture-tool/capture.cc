// The capture phase: one file per adapter, then the tick loop that copies
// every waiting packet into its adapter's file.
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "quorvane.h"

static void announce(int duration_ms) {
  printf(
      "\nWill capature for %d seconds. Print one '|' every second. Print one '.' for every "
      "packet captured.\n",
      duration_ms / 1000);
  printf("Ctrl+c to stop it and you will have captured data up to that point.\n");
}

static void open_capture_files(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    Adapter* slot = &table->slots[k];
    char name[32];
    snprintf(name, sizeof name, "%s%d.cap", FILE_PREFIX, k);
    slot->file = table->files != nullptr
                     ? create_capture_file(slot->capture, name, table->files, k, &slot->file_handle)
                     : nullptr;
    if (slot->file == nullptr) {
      fprintf(stderr, "\nError opening output file for %d device\n", k);
    } else {
      bool failed = false;
      file_written(table->files, k, &slot->file_bytes, &failed);
      slot->stretch_started_ms = monotonic_ms();
    }
  }
}

// A slot is recorded while its file is open and has not failed a write.
static bool recorded(const Adapter* slot) { return slot->file != nullptr && !slot->write_failed; }

// A slot is read until the run's last pass has caught it up.
static bool to_read(const Adapter* slot) { return recorded(slot) && !slot->caught_up; }

// Left to itself, the kernel keeps gigabytes of a flood's files in memory
// before it writes any back, then writes them back on any core, the
// recorder's included, while the flood goes on, and keeps them cached in
// place of what the machine's other programs had there.  So a stretch of
// WRITE_BEHIND_BYTES that filled in less than WRITE_BEHIND_FAST_MS is handed
// to the writer as soon as the file has grown past it, which sends it to
// the disk and lets the stretches before it leave the page cache.  Slower
// traffic is left to the kernel, which keeps up with it at no cost to the
// loop.  The loop itself never waits for the disk.
static void write_behind(Adapter* slot, WriteBehind* writer) {
  while (slot->file_bytes - slot->written_behind >= WRITE_BEHIND_BYTES) {
    const long long now_ms = monotonic_ms();
    if (now_ms - slot->stretch_started_ms < WRITE_BEHIND_FAST_MS) {
      write_capture_file_behind(writer, slot->file_handle, slot->written_behind,
                                WRITE_BEHIND_BYTES);
    }
    slot->written_behind += WRITE_BEHIND_BYTES;
    slot->stretch_started_ms = now_ms;
  }
}

static bool stamped_after(const timeval& stamp, const timeval& end) {
  return stamp.tv_sec > end.tv_sec || (stamp.tv_sec == end.tv_sec && stamp.tv_usec > end.tv_usec);
}

// Copies the waiting packets of slot k into its file, up to its share
// (PASS_SHARE_PACKETS or PASS_SHARE_BYTES, whichever comes first), and
// hands them to the file's writer; with an `end`, only up to the first
// packet stamped after it, and the slot is then caught up.  A slot whose
// file has no room for a share is left for later (*no_room).  *share_used
// tells whether it stopped at its share.  Returns how many it read.
static int drain_adapter(AdapterTable* table, int k, const timeval* end, bool* share_used,
                         bool* no_room) {
  Adapter* slot = &table->slots[k];
  int packets = 0;
  long long bytes = 0;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  *share_used = false;
  *no_room = !file_has_room(table->files, k);
  if (*no_room || pcap_next_ex(slot->capture, &header, &data) <= 0) return 0;
  begin_pass(table->files);
  do {
    pcap_dump(reinterpret_cast<u_char*>(slot->file), header, data);
    bytes += header->caplen;
    ++packets;
    *share_used = packets == PASS_SHARE_PACKETS || bytes >= PASS_SHARE_BYTES;
    if (end != nullptr && stamped_after(header->ts, *end)) {
      slot->caught_up = true;
      break;
    }
  } while (!*share_used && pcap_next_ex(slot->capture, &header, &data) > 0);
  slot->read_bytes += bytes;
  end_pass(table->files, k, packets);
  return packets;
}

static void print_dots(const char* dots, long long count) {
  const long long line = static_cast<long long>(MAX_ADAPTERS) * PASS_SHARE_PACKETS;
  for (; count > 0; count -= line) print_marks(dots, static_cast<int>(count < line ? count : line));
}

// Shows a mark for every packet written to its file since the last look,
// after the report of each file seen failed for the first time; the growth
// of the files goes on to be written behind.  A mark shown is a packet in
// its file, whatever ends the process next; a console that stops reading
// holds up the loop, but neither the writer nor an interrupt.
static void show_written(AdapterTable* table, const char* dots) {
  bool failed_now[MAX_ADAPTERS] = {};
  long long shown = 0;
  for (int k = 0; k < table->count; ++k) {
    Adapter* slot = &table->slots[k];
    if (!recorded(slot)) continue;
    bool failed = false;
    const long long written = file_written(table->files, k, &slot->file_bytes, &failed);
    shown += written - slot->packets_shown;
    slot->packets_shown = written;
    write_behind(slot, table->writer);
    failed_now[k] = failed;
    slot->write_failed = failed;
  }
  for (int k = 0; k < table->count; ++k) {
    if (failed_now[k]) fprintf(stderr, "\nError writing output file for %d device\n", k);
  }
  print_dots(dots, shown);
}

// One pass over the slots, each read for its share, then the marks of what
// the files took.  Returns the packets read; *cut_off tells whether a slot
// used its whole share, or found no room for one, and may have more
// waiting: the pass then gives the writer up to PAUSE_MS to make room.
// `end`, for the run's last pass, as for drain_adapter.  With `ready`, only
// the slots it marks are read: those the kernel said have packets.
static int draining_pass(AdapterTable* table, const char* dots, const timeval* end,
                         const bool* ready, bool* cut_off) {
  int read = 0;
  bool waits_for_room = false;
  *cut_off = false;
  for (int k = 0; k < table->count; ++k) {
    if (!to_read(&table->slots[k]) || (ready != nullptr && !ready[k])) continue;
    bool share_used = false;
    bool no_room = false;
    read += drain_adapter(table, k, end, &share_used, &no_room);
    waits_for_room = waits_for_room || no_room;
    *cut_off = *cut_off || share_used || no_room;
  }
  show_written(table, dots);
  if (waits_for_room) write_files_now(table->files, PAUSE_MS);
  return read;
}

// A first pass over the `ready` slots; then, while one was cut off by its
// share, passes over every slot, without sleeping, until all run dry or
// until_ms comes.  Returns the packets read.
static int drain_until_dry(AdapterTable* table, const char* dots, const bool* ready,
                           long long until_ms) {
  bool cut_off = false;
  int read = draining_pass(table, dots, nullptr, ready, &cut_off);
  while (cut_off && monotonic_ms() < until_ms) {
    read += draining_pass(table, dots, nullptr, nullptr, &cut_off);
  }
  return read;
}

// The captures of the slots still to be read, and those slots; returns how
// many.
static int captures_to_read(const AdapterTable* table, pcap_t** captures, int* slots) {
  int count = 0;
  for (int k = 0; k < table->count; ++k) {
    if (!to_read(&table->slots[k])) continue;
    captures[count] = table->slots[k].capture;
    slots[count++] = k;
  }
  return count;
}

static bool any_to_read(const AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    if (to_read(&table->slots[k])) return true;
  }
  return false;
}

// Waits as wait_for_packets does for the slots still to be read; on a wake,
// ready[k] tells whether slot k has packets.
static bool wait_for_slots(const AdapterTable* table, int ms, bool* ready) {
  pcap_t* captures[MAX_ADAPTERS] = {};
  int slots[MAX_ADAPTERS] = {};
  bool captures_ready[MAX_ADAPTERS] = {};
  const int count = captures_to_read(table, captures, slots);
  if (!wait_for_packets(captures, count, ms, captures_ready)) return false;
  for (int k = 0; k < MAX_ADAPTERS; ++k) ready[k] = false;
  for (int i = 0; i < count; ++i) ready[slots[i]] = captures_ready[i];
  return true;
}

// Each slot's bytes read so far and when it last read some: the rate it
// fills at is taken over its own gap between reads.
struct SlotReads {
  long long bytes[MAX_ADAPTERS];
  long long at_ms[MAX_ADAPTERS];
};

// Notes the slots that read anything since `reads` last did, or every slot.
static void note_reads(const AdapterTable* table, long long now_ms, bool every, SlotReads* reads) {
  for (int k = 0; k < table->count; ++k) {
    if (!every && table->slots[k].read_bytes == reads->bytes[k]) continue;
    reads->bytes[k] = table->slots[k].read_bytes;
    reads->at_ms[k] = now_ms;
  }
}

// How long the loop may sleep after a read, each slot filling as fast as
// it did since it last read (`reads`): none unless one of them fills a
// pass's share (PASS_SHARE_BYTES) within PAUSE_MS, since a pause then only
// adds a wake; PAUSE_MS, or less when the busiest would fill
// 1/PAUSE_BUFFER_SHARE of its kernel buffer sooner.
static long long pause_ms(const AdapterTable* table, const SlotReads& reads, long long now_ms) {
  long long pause = PAUSE_MS;
  bool fills_a_share = false;
  for (int k = 0; k < table->count; ++k) {
    const Adapter* slot = &table->slots[k];
    const long long bytes = slot->read_bytes - reads.bytes[k];
    if (bytes <= 0) continue;
    const long long interval_ms = now_ms - reads.at_ms[k];
    fills_a_share = fills_a_share || bytes * PAUSE_MS >= PASS_SHARE_BYTES * interval_ms;
    const long long fills_ms = interval_ms * (slot->buffer_bytes / PAUSE_BUFFER_SHARE) / bytes;
    if (fills_ms < pause) pause = fills_ms;
  }
  return fills_a_share ? pause : 0;
}

// Sleeps until due_ms, but reads what arrives meanwhile as soon as the
// kernel hands it over: a device's buffer then holds only what comes between
// two reads, not a whole tick of a flood that starts on a quiet device.
// After a wake that found packets coming fast the loop pauses before it
// waits again, so that steady traffic is copied several blocks a pass, not
// one (a block of 1400-byte frames fills in 2 ms at 100,000 frames/s):
// PAUSE_MS while that fills a quarter of a buffer at most, less at the
// byte rates of large packets (64 KB ones at 6 Gb/s fill 16 MB in 20 ms),
// none at all when each read finds a quarter of a buffer.  Slower traffic
// is read block by block as the kernel hands it over.  A wake that finds
// nothing to read ends the waiting; the rest of the tick is slept.
static void wait_for_tick(AdapterTable* table, const char* dots, long long due_ms,
                          SlotReads* reads) {
  for (long long left = due_ms - monotonic_ms(); left > 0; left = due_ms - monotonic_ms()) {
    bool ready[MAX_ADAPTERS] = {};
    if (!wait_for_slots(table, static_cast<int>(left), ready)) return;
    const int read = drain_until_dry(table, dots, ready, due_ms);
    const long long now_ms = monotonic_ms();
    left = due_ms - now_ms;
    if (read == 0) {
      if (left > 0) sleep_ms(static_cast<int>(left));
      return;
    }
    long long pause = pause_ms(table, *reads, now_ms);
    note_reads(table, now_ms, false, reads);
    if (pause > left) pause = left;
    if (pause > 0) sleep_ms(static_cast<int>(pause));
  }
}

// `stamp` plus ms.
static timeval later_by(timeval stamp, int ms) {
  stamp.tv_usec += ms * 1000L;
  stamp.tv_sec += stamp.tv_usec / 1000000;
  stamp.tv_usec %= 1000000;
  return stamp;
}

// What the kernel still holds of the time before the end.  It hands a block
// over once it is full or has waited BLOCK_TIMEOUT_MS, so the packets of the
// last block timeout before the end are in blocks of their own: the last
// pass waits until every such block has been handed over and reads each
// slot up to its first packet stamped well after the end.  A device's
// packets are not in the order of their stamps (the any device mixes
// directions and CPUs, and so does a link whose receiving is spread over
// CPUs): the pass reads on through packets stamped up to a block timeout
// after the end, and waits for the block timeout after that, three in all.
// Every packet that arrived before the end is then in its file, or was
// counted as dropped by the kernel; what comes in meanwhile is recorded
// too.  Where the stamps follow a clock of their own, each slot is read
// until it runs dry once those blocks are handed over.  A slot whose stamps
// run behind the clock under a flood, or that a flood never lets run dry,
// is given up on a second later.
void drain_to_the_end(AdapterTable* table, const char* dots) {
  timeval now = {};
  const bool stamps_on_the_clock = capture_clock(&now);
  const timeval end = later_by(now, BLOCK_TIMEOUT_MS);
  const long long handed_over_ms = monotonic_ms() + 3LL * BLOCK_TIMEOUT_MS;
  const long long give_up_ms = handed_over_ms + 1000;
  for (;;) {
    bool cut_off = false;
    draining_pass(table, dots, stamps_on_the_clock ? &end : nullptr, nullptr, &cut_off);
    const long long now_ms = monotonic_ms();
    if (!any_to_read(table) || now_ms >= give_up_ms || (!cut_off && now_ms >= handed_over_ms)) {
      break;
    }
    bool ready[MAX_ADAPTERS] = {};
    if (!cut_off) wait_for_slots(table, static_cast<int>(handed_over_ms - now_ms), ready);
  }
  write_files_now(table->files, -1);
  show_written(table, dots);
}

// Gives the writer up to PAUSE_MS to write what it was handed, then shows
// the marks of what it wrote.
static void show_when_written(AdapterTable* table, const char* dots) {
  write_files_now(table->files, PAUSE_MS);
  show_written(table, dots);
}

// Tick t is due TICK_MS x (t + 1) after the loop starts, whatever the passes
// before it took, so the run lasts its announced time under any load.  A
// tick waits until it is due, then reads every slot until all run dry or
// the next tick is due.  Its '|' follows its first pass, once the writer
// has had a moment to catch up: where the disk keeps up, the marks of what
// the kernel handed over before the tick come before it (a light device's
// last packets wait for their block's time to run out, at most a tick),
// and under a flood it is not held back by the reading that follows, whose
// marks come after it.
static void run_capture_loop(AdapterTable* table, int duration_ms) {
  char dots[MAX_ADAPTERS * PASS_SHARE_PACKETS];
  memset(dots, '.', sizeof dots);
  const long long start_ms = monotonic_ms();
  SlotReads reads = {};
  note_reads(table, start_ms, true, &reads);
  int elapsed_ms = 0;
  for (int t = 0; t < duration_ms / TICK_MS; ++t) {
    const long long due_ms = start_ms + static_cast<long long>(t + 1) * TICK_MS;
    wait_for_tick(table, dots, due_ms, &reads);
    bool cut_off = false;
    draining_pass(table, dots, nullptr, nullptr, &cut_off);
    show_when_written(table, dots);
    if (elapsed_ms % 1000 == 0) print_mark('|');
    if (cut_off) {
      drain_until_dry(table, dots, nullptr, due_ms + TICK_MS);
      show_when_written(table, dots);
    }
    note_reads(table, monotonic_ms(), false, &reads);
    elapsed_ms += TICK_MS;
  }
  drain_to_the_end(table, dots);
}

// Packets the kernel had no room for, on the adapters being recorded.
static void report_drops(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    const Adapter* slot = &table->slots[k];
    pcap_stat stats;
    if (!recorded(slot) || pcap_stats(slot->capture, &stats) != 0 || stats.ps_drop == 0) {
      continue;
    }
    fprintf(stderr, "\n%u packets dropped on %d device\n", stats.ps_drop, k);
  }
}

static void close_adapters(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) pcap_close(table->slots[k].capture);
}

// Every file was written up to the last pass; closing them here rather
// than leaving it to the exit keeps that true on every platform.  A file
// whose close fails is reported as a failed write is: it may not hold what
// the console showed.
static void close_files(AdapterTable* table) {
  bool close_failed[MAX_ADAPTERS] = {};
  if (table->files != nullptr) close_capture_files(table->files, table->count, close_failed);
  for (int k = 0; k < table->count; ++k) {
    Adapter* slot = &table->slots[k];
    if (!close_failed[k]) continue;
    if (!slot->write_failed) fprintf(stderr, "\nError writing output file for %d device\n", k);
    slot->write_failed = true;
  }
}

// The platform handles of the capture files; returns how many.
static int capture_file_handles(const AdapterTable* table, intptr_t* handles) {
  int count = 0;
  for (int k = 0; k < table->count; ++k) {
    if (table->slots[k].file != nullptr) handles[count++] = table->slots[k].file_handle;
  }
  return count;
}

bool capture(AdapterTable* table, pcap_if_t* devices, int duration_ms) {
  announce(duration_ms);
  table->files = new_file_writer();
  open_capture_files(table);
  pcap_freealldevs(devices);
  intptr_t handles[MAX_ADAPTERS];
  const int files = capture_file_handles(table, handles);
  // With no file to write, a run would only tick for its whole time and
  // then claim a capture: it ends here, after the reports, as a failure.
  if (files == 0) {
    close_adapters(table);
    close_files(table);
    return false;
  }
  table->writer = start_writing_behind(handles, files);
  // The file writer is started without the privileges, which on Linux are
  // a thread's own.
  drop_privileges();
  start_file_writer(table->files);
  run_capture_loop(table, duration_ms);
  report_drops(table);
  close_adapters(table);
  finish_writing_behind(table->writer, TICK_MS);
  close_files(table);
  bool written = true;
  for (int k = 0; k < table->count; ++k) written = written && !table->slots[k].write_failed;
  return written;
}
