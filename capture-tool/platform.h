// The narrow interface to the operating system: the console, the program's
// own name, the tick's clock, sleep and wait, finding the capture library, the
// firewall's loggers, the capture files and their writing, the privileges and
// the holding of interrupts.  One file per
// platform implements it (platform-posix.cc, platform-win32.cc).
#ifndef QUORVANE_PLATFORM_H_
#define QUORVANE_PLATFORM_H_

#include <pcap/pcap.h>
#include <stddef.h>
#include <stdint.h>

struct WriteBehind;  // the platform's own

// Makes every message and mark show the moment it is printed when a stream
// is a terminal; a redirected stream keeps the standard library's buffering.
// A standard stream the program was started without is opened on the null
// device, so that no file the run opens later takes its place and gets the
// console's text.  A write past a file-size limit then fails like a full
// disk instead of ending the process.
void set_up_console();

// The program's name as it was invoked.  When the process got no name at
// all, the executable's full path, written into buf.
const char* program_name(int argc, char** argv, char* buf, size_t size);

void sleep_ms(int ms);

// Sleeps ms, or less when one of the `count` captures has packets waiting
// to be read, where the platform can tell.  True when it woke for packets,
// with ready[i] set for each capture that has some (for every capture where
// the platform cannot tell which); false once ms have passed.  A capture
// that reports an error instead is not waited on for the rest of the call.
bool wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready);

// Milliseconds on a clock that only goes forward, from an arbitrary start:
// the ticks of the capture loop are laid out on it.
long long monotonic_ms();

// The time of day, on the clock the capture library stamps packets with.
// False, and *now left as it was, where the library stamps them on a clock
// of its own, which need not agree with any the program can read.
bool capture_clock(timeval* now);

// The machine's physical memory in bytes, or 0 when it cannot be told.
long long physical_memory_bytes();

// Finds and loads the capture library, before its first call.  False, with
// a text in errbuf that says what to install, when there is none.
bool load_capture_library(char* errbuf);

// True for a device whose opening would change what the machine does, not
// only watch it: such a device is never opened.
bool opening_changes_the_machine(const char* device);

// Protocol families whose firewall logger a device's opening may change.
const int FIREWALL_FAMILIES = 13;

// The logger each protocol family's firewall log goes to, where the platform
// has such a setting; an empty name where it has none.
struct FirewallLoggers {
  char names[FIREWALL_FAMILIES][64];
};

// Notes the loggers before a device is opened; restore_firewall_loggers
// puts back any that the opening changed.  (Linux's nflog device binds the
// IPv4 logger to a netfilter log group that only the run reads.)
void note_firewall_loggers(FirewallLoggers* loggers);
void restore_firewall_loggers(const FirewallLoggers* loggers);

// Writes the capture files.  On Linux a thread of its own writes them, from
// a ring of FILE_RING_BYTES per file that the loop's pcap_dump fills, so
// that the loop never waits in a write: where the disk falls behind and the
// kernel holds back writers, the ticks and the marks go on, and a file whose
// ring is full is read again once it has room (its packets wait in the
// kernel's buffer meanwhile, as they do for any writer the disk holds up).
// On Windows the library's stream is its own, out of the program's reach,
// and the loop writes the files itself.
//
// Interrupts: a mark is shown only for a packet whose record the system has
// taken whole, and no signal ends the process in the middle of a record.
// On Linux the loop's thread holds every interrupt from start_file_writer
// on, and the writer takes them between its writes; on Windows each pass
// holds them from begin_pass to end_pass.
struct FileWriter;  // the platform's own

// Null when there is no memory for one.
FileWriter* new_file_writer();

// Opens the capture file `name` for `capture` through the library, as the
// writer's `slot`, emptied, and writes its header: only if it does not
// exist yet or is a regular file of the run's own user with no other hard
// link.  A symbolic link is not followed, another user's file is not
// touched, and a FIFO, device or directory in the way is never opened.  A
// file the run creates is readable by its owner only.  Where the platform
// allows, the file is locked for as long as the process lives, and a file
// another run has locked is not touched either.  *handle is the platform's
// own handle of the file.
pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name, FileWriter* writer, int slot,
                                   intptr_t* handle);

// Starts writing behind the loop, once the files are open and the
// privileges dropped.  Where no writer can be started, the loop writes the
// files itself, as on Windows.
void start_file_writer(FileWriter* writer);

// True when the slot's file has room for a pass's share and has not failed.
bool file_has_room(FileWriter* writer, int slot);

// Around the pcap_dump calls of one slot's pass.  end_pass hands over the
// pass's `packets` (none for a pass that wrote nothing).
void begin_pass(FileWriter* writer);
void end_pass(FileWriter* writer, int slot, int packets);

// The slot's packets written to its file so far; *bytes is the file's size
// so far, and *failed tells whether a write failed (a full disk, a size
// limit): the file is then cut back to the last whole pass written and
// takes no more.
long long file_written(FileWriter* writer, int slot, long long* bytes, bool* failed);

// Wakes the writer and waits up to ms (forever when negative) for it to
// have written everything handed to it.  True when it has.
bool write_files_now(FileWriter* writer, int ms);

// Once everything is written: stops the writer, gives the loop back its
// interrupts, closes every file and frees the writer.  close_failed[slot]
// is set for a file whose close failed: network and FUSE file systems may
// report a full disk or a quota only then, for data already counted as
// written.
void close_capture_files(FileWriter* writer, int count, bool* close_failed);

// Hands stretches of the capture `files` (their platform handles) to the
// disk on a writer of their own, so that the capture loop never waits for
// the disk, however slow it is.  Null where the platform needs none or
// cannot have one: the files are then written back by the system in its
// own time.  Started once the files are open, before the privileges are
// dropped (the writer drops them too); the writer holds every signal, and
// a run that ends, by its time or by a signal, does not wait for it.
WriteBehind* start_writing_behind(const intptr_t* files, int count);

// Asks `writer` to start writing the `bytes` of the file from `from` to the
// disk and to let go of the file's pages before that which are already
// written.  Never waits: false, and the stretch is left to the system, when
// the writer is that far behind (a disk slower than the capture) or null.
bool write_capture_file_behind(WriteBehind* writer, intptr_t handle, long long from,
                               long long bytes);

// Before the files are closed: lets the writer finish what it was given,
// for up to ms, then stops it.  The run does not wait longer for a slow
// disk; the system writes back what is left.
void finish_writing_behind(WriteBehind* writer, int ms);

// Gives up what the capture loop does not need, once the devices and files
// are open: root becomes the unprivileged user, capabilities go, and none
// can be regained.  A step that is not possible is left out; the run goes
// on.
void drop_privileges();

// What hold_interrupts found, for release_interrupts to put back.
#ifdef _WIN32
struct HeldInterrupts {
  int unused;
};
#else
#include <signal.h>
struct HeldInterrupts {
  sigset_t before;
};
#endif

// Between these two calls every signal that another process may send to
// end this one is held back (an interrupt, a termination, a user signal,
// an alarm ...); it takes its default effect once released, unless the
// program was started with it held, which release_interrupts leaves as it
// was.  The signals of a fault are never held: a fault's handler, where one
// is installed, still runs.  Used so that a packet whose mark reached the
// console is always in its file when the process dies.
void hold_interrupts(HeldInterrupts* held);
void release_interrupts(const HeldInterrupts* held);

#endif  // QUORVANE_PLATFORM_H_
