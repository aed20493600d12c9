// The platform layer on Linux, with libpcap.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "quorvane.h"

// Files past 2 GiB on 32-bit systems too.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// Started with standard output closed (a daemon, `>&-`), the first capture
// file would get descriptor 1 and the dots with it.
static void open_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) close(null_fd);
  }
}

// Under a file-size limit (ulimit -f, LimitFSIZE=) the write that crosses it
// would raise SIGXFSZ and kill the run; ignored, the write fails with EFBIG
// and the file is cut back like on a full disk.
void set_up_console() {
  open_closed_standard_streams();
  if (isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IONBF, 0);
  if (isatty(STDERR_FILENO)) setvbuf(stderr, nullptr, _IONBF, 0);
  signal(SIGXFSZ, SIG_IGN);
}

bool load_capture_library(char*) { return true; }

// Linux hands a process started with no argument vector an empty argv[0];
// both mean no name was typed.
const char* program_name(int argc, char** argv, char* buf, size_t size) {
  if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') return argv[0];
  ssize_t len = readlink("/proc/self/exe", buf, size - 1);
  buf[len > 0 ? len : 0] = '\0';
  return buf;
}

// The test build takes the clock, the sleep, the wait and the memory size from
// scripted_clock.cc instead.
#ifndef QUORVANE_FAKE_PLATFORM
void sleep_ms(int ms) {
  timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

long long monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The library's descriptor of a live capture turns readable when the kernel
// hands over a block of packets: a full one, or one that has waited
// BLOCK_TIMEOUT_MS.  A device that went away reports an error instead,
// again and again; it is left out rather than woken for.
bool wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready) {
  pollfd fds[MAX_ADAPTERS];
  for (int i = 0; i < count; ++i) fds[i] = pollfd{pcap_get_selectable_fd(captures[i]), POLLIN, 0};
  const long long until_ms = monotonic_ms() + ms;
  for (long long left = ms; left > 0; left = until_ms - monotonic_ms()) {
    const int woke = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left));
    if (woke < 0 && errno == EINTR) continue;
    if (woke < 0) sleep_ms(static_cast<int>(left));
    if (woke <= 0) return false;
    bool readable = false;
    for (int i = 0; i < count; ++i) {
      ready[i] = (fds[i].revents & POLLIN) != 0;
      readable = readable || ready[i];
      if (!ready[i] && fds[i].revents != 0) fds[i].fd = -1;
    }
    if (readable) return true;
  }
  return false;
}

// The kernel stamps captured packets with CLOCK_REALTIME.
bool capture_clock(timeval* now) {
  timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  now->tv_sec = time.tv_sec;
  now->tv_usec = time.tv_nsec / 1000;
  return true;
}

long long physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? static_cast<long long>(pages) * page_size : 0;
}
#endif  // QUORVANE_FAKE_PLATFORM

// net.netfilter.nf_log.N of the run's network namespace: the logger that the
// firewall's LOG rules, TRACE and conntrack's reports use for family N.
static void logger_setting(int family, char* path, size_t size) {
  snprintf(path, size, "/proc/sys/net/netfilter/nf_log/%d", family);
}

static void read_logger(int family, char* name, size_t size) {
  char path[64];
  logger_setting(family, path, sizeof path);
  name[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t length = read(fd, name, size - 1);
  close(fd);
  name[length > 0 ? length : 0] = '\0';
  name[strcspn(name, "\n")] = '\0';
}

void note_firewall_loggers(FirewallLoggers* loggers) {
  for (int family = 0; family < FIREWALL_FAMILIES; ++family) {
    read_logger(family, loggers->names[family], sizeof loggers->names[family]);
  }
}

// Written back while the run still has the privileges it opened the device
// with: CAP_NET_ADMIN, which the binding itself needed, may write them.
void restore_firewall_loggers(const FirewallLoggers* loggers) {
  for (int family = 0; family < FIREWALL_FAMILIES; ++family) {
    const char* noted = loggers->names[family];
    char now[sizeof loggers->names[family]];
    read_logger(family, now, sizeof now);
    if (noted[0] == '\0' || strcmp(now, noted) == 0) continue;
    char path[64];
    logger_setting(family, path, sizeof path);
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;
    // A write refused leaves the logger as the opening set it; the run goes on.
    const ssize_t written = write(fd, noted, strlen(noted));
    static_cast<void>(written);
    close(fd);
  }
}

// True when every logger setting there is may be written: a container's
// read-only /proc/sys, or a run without the right, could not put back what
// opening nflog changes.
static bool firewall_loggers_restorable() {
  for (int family = 0; family < FIREWALL_FAMILIES; ++family) {
    char path[64];
    logger_setting(family, path, sizeof path);
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return false;
    if (fd >= 0) close(fd);
  }
  return true;
}

// Reading the nfqueue device binds a netfilter queue, and the library then
// accepts every packet it reads: the recorder would decide the firewall's
// verdicts, and let through what the queue's absence had dropped.  Opening
// nflog binds the firewall's loggers to its log group through netlink,
// whatever /proc/sys allows; the run puts them back through /proc/sys, so
// nflog is opened only where that can be done.
bool opening_changes_the_machine(const char* device) {
  if (strncmp(device, "nfqueue", 7) == 0) return true;
  return strncmp(device, "nflog", 5) == 0 && !firewall_loggers_restorable();
}

// A file already there is written over only when it is a regular file of
// the run's own user with no other name: another user's file, even one the
// run could write, and a hard link to a file elsewhere are left alone.
static bool may_write_over(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

// Opens the file that lstat() saw and checks on the descriptor that it is
// still that file.  Non-blocking, so that a FIFO put in its place meanwhile
// fails instead of waiting for a reader.
static int open_seen_file(const char* name, const struct stat& seen) {
  const int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino ||
      !may_write_over(st) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// What is in the way is looked at before anything is opened: opening a FIFO
// wakes its reader, and opening some device nodes acts on the device.  A new
// file is created exclusively, for its owner only.
static int open_file_for_capture(const char* name) {
  struct stat seen;
  if (lstat(name, &seen) == 0) return may_write_over(seen) ? open_seen_file(name, seen) : -1;
  if (errno != ENOENT) return -1;
  return open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

static int open_regular_file(const char* name) {
  const int fd = open_file_for_capture(name);
  if (fd < 0) return -1;
  struct stat st;
  // The lock, taken before anything is emptied, keeps a second run in the
  // same directory off this run's files; it goes with the descriptor.  A new
  // file is not truncated: on ext4 a truncation to zero makes the close wait
  // for the whole file to be written back, at the end of the run.
  if (fstat(fd, &st) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      (st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// A pass the loop handed over: the file up to `end`, with `packets` more.
struct Pass {
  long long end;
  int packets;
};

// Passes a ring holds at most: a file whose ring holds this many passes not
// yet written is not read until the writer catches up.
const int RING_PASSES = 256;

// Room a pass may take: its share, the record that crosses it, their headers.
const long long PASS_ROOM_BYTES =
    PASS_SHARE_BYTES + SNAPLEN + (PASS_SHARE_PACKETS + 1LL) * RECORD_HEADER_BYTES;

// Each write, made with interrupts held, takes passes up to this much, or
// one pass where that is more (its share and the record that crossed it).
const long long WRITE_GROUP_BYTES = 256LL * 1024;

// A ring holding this much not yet written wakes the writer at once; less
// waits for the tick, which asks for everything to be written.  Light
// traffic then wakes the writer once a tick, not for every few writes.
const long long WAKE_WRITER_BYTES = FILE_RING_BYTES / 4;

// One capture file: the ring its stream fills, and what the writer made of
// it.  `put` and `room_until` are the loop's; the rest is under the writer's
// lock.  The loop moves `start` only while the ring is empty, when the
// writer has nothing of it to read.
struct FileRing {
  int fd;
  pcap_dumper_t* dumper;
  char* data;            // FILE_RING_BYTES
  long long put;         // bytes of the file put in the ring so far
  long long room_until;  // what put may reach: written + FILE_RING_BYTES, as last seen
  long long start;       // the byte of the file at the ring's start, as of its last emptying
  Pass passes[RING_PASSES];
  int handed;         // passes handed over
  int done;           // passes written
  long long written;  // bytes of the file written
  long long packets_written;
  bool failed;
};

struct FileWriter {
  FileRing* rings[MAX_ADAPTERS];
  pthread_mutex_t lock;
  pthread_cond_t work;      // the loop to the writer
  pthread_cond_t progress;  // the writer to the loop
  pthread_t thread;
  bool running;
  bool stopping;
  HeldInterrupts loop_held;  // the loop's, while the writer runs
  HeldInterrupts pass_held;  // a pass's, while there is no writer
};

FileWriter* new_file_writer() {
  FileWriter* writer = static_cast<FileWriter*>(calloc(1, sizeof(FileWriter)));
  if (writer == nullptr) return nullptr;
  pthread_condattr_t monotonic;
  pthread_condattr_init(&monotonic);
  pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  pthread_mutex_init(&writer->lock, nullptr);
  pthread_cond_init(&writer->work, &monotonic);
  pthread_cond_init(&writer->progress, &monotonic);
  pthread_condattr_destroy(&monotonic);
  return writer;
}

// Where the ring holds the file's byte at `offset`.
static size_t ring_at(const FileRing* ring, long long offset) {
  return static_cast<size_t>((offset - ring->start) % FILE_RING_BYTES);
}

// Of `size` bytes of the file from `offset` on, those that lie in the ring
// before it wraps around.
static size_t bytes_before_wrap(const FileRing* ring, long long offset, size_t size) {
  return std::min(size, static_cast<size_t>(FILE_RING_BYTES) - ring_at(ring, offset));
}

// The stream's writes copy into the ring.  The loop asks for a pass's room
// before it reads, so the ring always has it; were it not so, the write
// fails rather than overwrite what the writer has still to write.
static ssize_t put_in_ring(void* cookie, const char* data, size_t size) {
  FileRing* ring = static_cast<FileRing*>(cookie);
  const long long bytes = static_cast<long long>(size);
  if (ring->put + bytes > ring->room_until) return 0;
  const size_t first = bytes_before_wrap(ring, ring->put, size);
  memcpy(ring->data + ring_at(ring, ring->put), data, first);
  memcpy(ring->data, data + first, size - first);
  ring->put += bytes;
  return static_cast<ssize_t>(size);
}

static int close_ring(void* cookie) {
  FileRing* ring = static_cast<FileRing*>(cookie);
  const int closed = close(ring->fd);
  free(ring->data);
  free(ring);
  return closed;
}

// Writes the ring's bytes of the file from `from` to `to`.  Returns how far
// the file got.  The test build takes the write from scripted_clock.cc.
ssize_t write_capture_stretch(int fd, const iovec* parts, int count, long long offset);

#ifndef QUORVANE_FAKE_PLATFORM
ssize_t write_capture_stretch(int fd, const iovec* parts, int count, long long offset) {
  return pwritev(fd, parts, count, offset);
}
#endif  // QUORVANE_FAKE_PLATFORM

static long long write_ring(const FileRing* ring, long long from, long long to) {
  while (from < to) {
    const size_t size = static_cast<size_t>(to - from);
    const size_t first = bytes_before_wrap(ring, from, size);
    iovec parts[2] = {{ring->data + ring_at(ring, from), first}, {ring->data, size - first}};
    const ssize_t written = write_capture_stretch(ring->fd, parts, first < size ? 2 : 1, from);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    from += written;
  }
  return from;
}

static const Pass& pass_at(const FileRing* ring, int serial) {
  return ring->passes[serial % RING_PASSES];
}

// Writes what was handed over of one ring, a group of passes of up to
// WRITE_GROUP_BYTES at a time, each with interrupts held.  A write that
// fails cuts the file back to the last whole pass written, and the file
// takes no more.  Called, and returns, with the lock held.
static void write_handed(FileWriter* writer, FileRing* ring) {
  while (!ring->failed && ring->done < ring->handed) {
    const long long from = ring->written;
    int last = ring->done;
    while (last + 1 < ring->handed && pass_at(ring, last + 1).end - from <= WRITE_GROUP_BYTES) {
      ++last;
    }
    const long long to = pass_at(ring, last).end;
    pthread_mutex_unlock(&writer->lock);
    HeldInterrupts held;
    hold_interrupts(&held);
    const long long reached = write_ring(ring, from, to);
    long long whole = from;
    for (int p = ring->done; p <= last && pass_at(ring, p).end <= reached; ++p) {
      whole = pass_at(ring, p).end;
    }
    // A cut that fails leaves a torn record behind the last whole pass,
    // which still counts.
    const int cut = reached < to ? ftruncate(ring->fd, whole) : 0;
    static_cast<void>(cut);
    release_interrupts(&held);
    pthread_mutex_lock(&writer->lock);
    for (; ring->done <= last && pass_at(ring, ring->done).end <= whole; ++ring->done) {
      ring->packets_written += pass_at(ring, ring->done).packets;
    }
    ring->written = whole;
    ring->failed = reached < to;
  }
}

static long long handed_end(const FileRing* ring) {
  return ring->handed > 0 ? pass_at(ring, ring->handed - 1).end : 0;
}

static bool all_written(const FileWriter* writer) {
  for (const FileRing* ring : writer->rings) {
    if (ring != nullptr && !ring->failed && ring->done < ring->handed) return false;
  }
  return true;
}

// Between its writes the writer takes the signals the run was started
// with; the loop holds them all.  The loop waits for the writer only to
// have written everything, so it is told then, not after every write.
static void* run_file_writer(void* arg) {
  FileWriter* writer = static_cast<FileWriter*>(arg);
  pthread_sigmask(SIG_SETMASK, &writer->loop_held.before, nullptr);
  pthread_mutex_lock(&writer->lock);
  for (;;) {
    for (FileRing* ring : writer->rings) {
      if (ring != nullptr) write_handed(writer, ring);
    }
    if (!all_written(writer)) continue;
    pthread_cond_broadcast(&writer->progress);
    if (writer->stopping) break;
    pthread_cond_wait(&writer->work, &writer->lock);
  }
  pthread_mutex_unlock(&writer->lock);
  return nullptr;
}

// The stream is the program's own, without a buffer: pcap_dump's writes go
// straight into the ring.  The header is written before the file is
// handed back: an interrupted run still leaves a valid file.
pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name, FileWriter* writer, int slot,
                                   intptr_t* handle) {
  FileRing* ring = static_cast<FileRing*>(calloc(1, sizeof(FileRing)));
  char* data = static_cast<char*>(malloc(FILE_RING_BYTES));
  const int fd = ring != nullptr && data != nullptr ? open_regular_file(name) : -1;
  if (fd < 0) {
    free(data);
    free(ring);
    return nullptr;
  }
  *ring = FileRing{};
  ring->fd = fd;
  ring->data = data;
  ring->room_until = FILE_RING_BYTES;
  const cookie_io_functions_t io = {nullptr, put_in_ring, nullptr, close_ring};
  FILE* stream = fopencookie(ring, "wb", io);
  if (stream == nullptr) {
    close_ring(ring);
    return nullptr;
  }
  setvbuf(stream, nullptr, _IONBF, 0);
  // Only the loop's thread uses the stream: the lock the writer thread's
  // start would add to every write of pcap_dump is not needed.
  __fsetlocking(stream, FSETLOCKING_BYCALLER);
  ring->dumper = pcap_dump_fopen(capture, stream);
  if (ring->dumper == nullptr) {
    fclose(stream);
    return nullptr;
  }
  writer->rings[slot] = ring;
  *handle = fd;
  begin_pass(writer);
  end_pass(writer, slot, 0);
  long long bytes = 0;
  bool failed = false;
  file_written(writer, slot, &bytes, &failed);
  if (!failed) return ring->dumper;
  fclose(stream);
  writer->rings[slot] = nullptr;
  return nullptr;
}

// The loop's thread holds its interrupts for as long as the writer runs;
// the writer starts with them held and takes them between its writes.
void start_file_writer(FileWriter* writer) {
  hold_interrupts(&writer->loop_held);
  if (pthread_create(&writer->thread, nullptr, run_file_writer, writer) == 0) {
    writer->running = true;
  } else {
    release_interrupts(&writer->loop_held);
  }
}

bool file_has_room(FileWriter* writer, int slot) {
  FileRing* ring = writer->rings[slot];
  pthread_mutex_lock(&writer->lock);
  ring->room_until = ring->written + FILE_RING_BYTES;
  // A ring the writer has emptied starts over at its beginning: light
  // traffic, written out every tick, then keeps to the ring's first pages,
  // which stay in the cache and are all of it the process ever touches.
  if (ring->written == ring->put) ring->start = ring->put;
  const bool room = !ring->failed && ring->handed - ring->done < RING_PASSES &&
                    ring->room_until - ring->put >= PASS_ROOM_BYTES;
  if (!room) pthread_cond_signal(&writer->work);
  pthread_mutex_unlock(&writer->lock);
  return room;
}

// Without a writer the loop writes, with interrupts held for the pass.
void begin_pass(FileWriter* writer) {
  if (!writer->running) hold_interrupts(&writer->pass_held);
}

// A stream that failed (a ring without room, or a stream of the test
// build's between pcap_dump and the ring) fails the file.
void end_pass(FileWriter* writer, int slot, int packets) {
  FileRing* ring = writer->rings[slot];
  const bool flushed =
      pcap_dump_flush(ring->dumper) == 0 && ferror(pcap_dump_file(ring->dumper)) == 0;
  pthread_mutex_lock(&writer->lock);
  if (!flushed) {
    ring->failed = true;
  } else if (packets > 0 || ring->put > handed_end(ring)) {
    ring->passes[ring->handed % RING_PASSES] = Pass{ring->put, packets};
    ++ring->handed;
  }
  if (!writer->running) {
    write_handed(writer, ring);
  } else if (ring->put - ring->written >= WAKE_WRITER_BYTES) {
    pthread_cond_signal(&writer->work);
  }
  pthread_mutex_unlock(&writer->lock);
  if (!writer->running) release_interrupts(&writer->pass_held);
}

long long file_written(FileWriter* writer, int slot, long long* bytes, bool* failed) {
  FileRing* ring = writer->rings[slot];
  pthread_mutex_lock(&writer->lock);
  const long long packets = ring->packets_written;
  *bytes = ring->written;
  *failed = ring->failed;
  pthread_mutex_unlock(&writer->lock);
  return packets;
}

bool write_files_now(FileWriter* writer, int ms) {
  if (!writer->running) return true;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  pthread_mutex_lock(&writer->lock);
  bool written = all_written(writer);
  if (!written) pthread_cond_signal(&writer->work);
  while (!written) {
    const int waited = ms < 0 ? pthread_cond_wait(&writer->progress, &writer->lock)
                              : pthread_cond_timedwait(&writer->progress, &writer->lock, &until);
    written = all_written(writer);
    if (waited == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&writer->lock);
  return written;
}

// The stream is the program's own (pcap_dump_fopen); pcap_dump_close would
// close it too, but drop what the close says.
void close_capture_files(FileWriter* writer, int count, bool* close_failed) {
  if (writer->running) {
    pthread_mutex_lock(&writer->lock);
    writer->stopping = true;
    pthread_cond_signal(&writer->work);
    pthread_mutex_unlock(&writer->lock);
    pthread_join(writer->thread, nullptr);
    release_interrupts(&writer->loop_held);
  }
  for (int slot = 0; slot < count; ++slot) {
    FileRing* ring = writer->rings[slot];
    close_failed[slot] = ring != nullptr && fclose(pcap_dump_file(ring->dumper)) != 0;
  }
  pthread_mutex_destroy(&writer->lock);
  pthread_cond_destroy(&writer->work);
  pthread_cond_destroy(&writer->progress);
  free(writer);
}

// Starts writing a stretch of the file on fd to the disk.  The test build
// takes it from scripted_clock.cc.
void hand_over_stretch(int fd, long long from, long long bytes);

#ifndef QUORVANE_FAKE_PLATFORM
// Once a stretch is handed over, the writer waits until the one before it
// is on the disk: a file keeps at most two stretches in the disk's queue.
// A disk slower than the capture then holds up the writer, whose pipe
// fills and leaves the rest to the kernel, not the queue: a queue filled
// with a flood's stretches holds up the file system's journal behind them,
// and with it every write to the file (up to a second at 60 MB/s).  The
// stretches before are let go of as a window of LET_GO_BYTES: a page still
// being written is kept by the kernel, and is tried again on the next
// calls while it stays inside the window.  The calls are requests: where
// one fails, the kernel still writes the file back in its own time.
// sync_file_range waits while the disk's queue is full, which is why only
// the writer process makes it.
void hand_over_stretch(int fd, long long from, long long bytes) {
  const long long LET_GO_BYTES = 64LL * 1024 * 1024;
  sync_file_range(fd, from, bytes, SYNC_FILE_RANGE_WRITE);
  if (from < bytes) return;
  sync_file_range(fd, from - bytes, bytes,
                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  const long long start = from > LET_GO_BYTES ? from - LET_GO_BYTES : 0;
  posix_fadvise(fd, start, from - start, POSIX_FADV_DONTNEED);
}
#endif  // QUORVANE_FAKE_PLATFORM

// The writer is a process of its own, not a thread: where the disk's
// queue is full the kernel holds a hand-over in a wait nothing can cut
// short (seconds on a disk of 60 MB/s while the kernel's own writing back
// competes), and a process does not end before all its threads have left
// such a wait, so Ctrl+C would wait for the disk.  The loop reaches the
// writer through a pipe it never waits on; the writer holds every signal
// and is killed as soon as the run ends.
struct WriteBehind {
  int pipe;     // write end, non-blocking
  pid_t child;  // the writer
};

struct Stretch {
  int fd;
  long long from;
  long long bytes;
};

// One page of pipe: about 170 stretches, 340 MB of files.  A disk that falls
// further behind leaves the rest to the kernel's own writing back, within
// its dirty limits, as for any other writer.
const int WRITE_BEHIND_PIPE_BYTES = 4096;

// The writer's own descriptions of the capture files, read-only: it does
// not share the run's, so their locks go with the run and not with a writer
// still waiting for the disk.  Where a file cannot be opened again, the
// run's is kept.
static void reopen_for_writer(const intptr_t* files, int count) {
  for (int i = 0; i < count; ++i) {
    const int fd = static_cast<int>(files[i]);
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_RDONLY | O_CLOEXEC);
    if (own >= 0 && dup3(own, fd, O_CLOEXEC) >= 0) close(own);
  }
}

// The writer keeps its end of the pipe and the regular files, the capture
// files among them, and nothing else: a capture socket, nflog's binding or
// the console it held would outlive the run.  The run's own descriptors are
// all low ones.
static void keep_only_files(int pipe) {
  const int LOW_FDS = 1024;
  for (int fd = 0; fd < LOW_FDS; ++fd) {
    struct stat st;
    if (fd != pipe && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) close(fd);
  }
  close_range(LOW_FDS, ~0U, 0);
}

// The writer gives up root as the run does, then asks to be killed with the
// run (a change of user would have cleared that), once the wait it may be
// in is over.
[[noreturn]] static void run_writer(int pipe, pid_t run) {
  drop_privileges();
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (getppid() != run) _exit(0);
  Stretch stretch;
  while (read(pipe, &stretch, sizeof stretch) == static_cast<ssize_t>(sizeof stretch)) {
    hand_over_stretch(stretch.fd, stretch.from, stretch.bytes);
  }
  _exit(0);
}

WriteBehind* start_writing_behind(const intptr_t* files, int count) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  fcntl(ends[1], F_SETPIPE_SZ, WRITE_BEHIND_PIPE_BYTES);
  WriteBehind* writer = static_cast<WriteBehind*>(malloc(sizeof(WriteBehind)));
  // The writer starts with every signal held, and keeps them held.
  sigset_t all, before;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &before);
  const pid_t run = getpid();
  const pid_t child = writer != nullptr ? fork() : -1;
  if (child == 0) {
    // What the run's streams hold is not the writer's to write: it never
    // flushes them, and ends with _exit.
    close(ends[1]);
    reopen_for_writer(files, count);
    keep_only_files(ends[0]);
    run_writer(ends[0], run);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  close(ends[0]);
  if (child < 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    close(ends[1]);
    free(writer);
    return nullptr;
  }
  *writer = WriteBehind{ends[1], child};
  return writer;
}

bool write_capture_file_behind(WriteBehind* writer, intptr_t handle, long long from,
                               long long bytes) {
  if (writer == nullptr) return false;
  const Stretch stretch = {static_cast<int>(handle), from, bytes};
  return write(writer->pipe, &stretch, sizeof stretch) == static_cast<ssize_t>(sizeof stretch);
}

// The writer ends once it has read the closed pipe to its end; one still
// busy after ms is killed and left to end when its wait is over.
void finish_writing_behind(WriteBehind* writer, int ms) {
  if (writer == nullptr) return;
  close(writer->pipe);
  for (int waited_ms = 0; waitpid(writer->child, nullptr, WNOHANG) == 0; ++waited_ms) {
    if (waited_ms >= ms) {
      kill(writer->child, SIGKILL);
      break;
    }
    const timespec a_millisecond = {0, 1000000L};
    nanosleep(&a_millisecond, nullptr);
  }
  free(writer);
}

// Root becomes nobody, with nobody's group and no supplementary groups.
// The groups go first, since nobody can no longer change them, and each
// step is tried even when one before it failed: nobody in root's group still
// holds far less than root.  True when every step was taken.
static bool become_nobody() {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return false;
  bool done = setgroups(0, nullptr) == 0;
  done = setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) == 0 && done;
  done = setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) == 0 && done;
  return done;
}

// The loop only reads rings already mapped, writes and cuts files already
// open, asks for statistics and closes: none of it needs a privilege.
void drop_privileges() {
  // The bounding and ambient sets while root can still change them.
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
    prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  }
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  if (getuid() == 0 || geteuid() == 0) become_nobody();
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// Every signal whose default action ends the process and that another
// process may send: besides the console's and the terminal's, the user
// signals, the alarms and the real-time signals that any process of the
// same user (nobody, once the run has given up root) may send.  Not the
// signals of a fault, which the kernel delivers at once even when held,
// skipping the handler a sanitizer or a crash reporter installed.  SIGKILL
// and SIGSTOP cannot be held.
static sigset_t interrupt_signals() {
  const int not_held[] = {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU,
                          SIGSEGV, SIGBUS,  SIGFPE, SIGILL,   SIGTRAP, SIGSYS};
  sigset_t set;
  sigfillset(&set);
  for (int sig : not_held) sigdelset(&set, sig);
  return set;
}

void hold_interrupts(HeldInterrupts* held) {
  sigset_t set = interrupt_signals();
  sigprocmask(SIG_BLOCK, &set, &held->before);
}

void release_interrupts(const HeldInterrupts* held) {
  sigprocmask(SIG_SETMASK, &held->before, nullptr);
}
