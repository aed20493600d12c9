// The capture phase: one file per adapter, then the tick loop that copies
// every waiting packet into its adapter's file.
#include "platform.h"
#include "quorvane.h"

static void announce(int duration_ms) {
  printf(
      "\nWill capature for %d seconds. Print one '|' every second. Print one '.' for every "
      "packet captured.\n",
      duration_ms / 1000);
  printf("Ctrl+c to stop it and you will have captured data up to that point.\n");
}

static pcap_dumper_t* open_capture_file(pcap_t* capture, int k) {
  char name[32];
  snprintf(name, sizeof name, "%s%d.cap", FILE_PREFIX, k);
  pcap_dumper_t* file = create_capture_file(capture, name);
  // The header goes out now: an interrupted run still leaves a valid file.
  if (file != nullptr && pcap_dump_flush(file) != 0) {
    pcap_dump_close(file);
    return nullptr;
  }
  return file;
}

static void open_capture_files(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    Adapter* slot = &table->slots[k];
    slot->file = open_capture_file(slot->capture, k);
    if (slot->file == nullptr) {
      fprintf(stderr, "\nError opening output file for %d device\n", k);
    } else {
      slot->file_bytes = pcap_dump_ftell64(slot->file);
    }
  }
}

// Hands slot k's tick to the kernel.  The first failure (a full disk, an
// I/O error) is reported once; the file is cut back to its last complete
// record and the slot is not written again.
static void flush_capture_file(Adapter* slot, int k) {
  if (pcap_dump_flush(slot->file) == 0 && !capture_file_failed(slot->file)) {
    slot->file_bytes = pcap_dump_ftell64(slot->file);
    return;
  }
  fprintf(stderr, "\nError writing output file for %d device\n", k);
  cut_capture_file(slot->file, slot->file_bytes);
  slot->write_failed = true;
}

// Copies everything waiting on slot k into its file, a mark for each, then
// hands the file to the kernel.  Under a flood a slot may not run dry for
// as long as the flood lasts, so a held interrupt is looked for every
// INTERRUPT_CHECK_PACKETS packets and let through once the file is flushed.
static void drain_adapter(Adapter* slot, int k) {
  int packets = 0;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  while (!slot->write_failed && pcap_next_ex(slot->capture, &header, &data) > 0) {
    pcap_dump(reinterpret_cast<u_char*>(slot->file), header, data);
    print_mark('.');
    if (++packets % INTERRUPT_CHECK_PACKETS == 0 && interrupt_pending()) {
      flush_capture_file(slot, k);
      release_interrupts();  // the signal ends the run here, unless it is ignored
      hold_interrupts();
    }
  }
  if (packets > 0 && !slot->write_failed) flush_capture_file(slot, k);
}

// Interrupts are held over the pass and the flush that follows it, so every
// packet whose mark was shown is in the kernel's hands before a signal can
// end the process; a pending signal then takes effect as usual.
static void draining_pass(AdapterTable* table) {
  hold_interrupts();
  for (int k = 0; k < table->count; ++k) {
    Adapter* slot = &table->slots[k];
    if (slot->file == nullptr || slot->write_failed) continue;
    drain_adapter(slot, k);
  }
  release_interrupts();
}

static void run_capture_loop(AdapterTable* table, int duration_ms) {
  int elapsed_ms = 0;
  for (int t = 0; t < duration_ms / TICK_MS; ++t) {
    sleep_ms(TICK_MS);
    draining_pass(table);
    if (elapsed_ms % 1000 == 0) print_mark('|');
    elapsed_ms += TICK_MS;
  }
}

// Packets the kernel had no room for, on the adapters being recorded.
static void report_drops(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    const Adapter* slot = &table->slots[k];
    pcap_stat stats;
    if (slot->file == nullptr || slot->write_failed || pcap_stats(slot->capture, &stats) != 0 ||
        stats.ps_drop == 0) {
      continue;
    }
    fprintf(stderr, "\n%u packets dropped on %d device\n", stats.ps_drop, k);
  }
}

static void close_adapters(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) pcap_close(table->slots[k].capture);
}

// Each file was flushed by the last pass that wrote to it; closing them here
// rather than leaving it to the exit keeps that true on every platform.
static void close_capture_files(AdapterTable* table) {
  for (int k = 0; k < table->count; ++k) {
    if (table->slots[k].file != nullptr) pcap_dump_close(table->slots[k].file);
  }
}

bool capture(AdapterTable* table, pcap_if_t* devices, int duration_ms) {
  announce(duration_ms);
  open_capture_files(table);
  pcap_freealldevs(devices);
  run_capture_loop(table, duration_ms);
  report_drops(table);
  close_adapters(table);
  close_capture_files(table);
  bool written = true;
  for (int k = 0; k < table->count; ++k) written = written && !table->slots[k].write_failed;
  return written;
}
