// The platform layer on Linux, with libpcap.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

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

// Reading the nfqueue device binds a netfilter queue, and the library then
// accepts every packet it reads: the recorder would decide the firewall's
// verdicts, and let through what the queue's absence had dropped.
bool opening_changes_the_machine(const char* device) { return strncmp(device, "nfqueue", 7) == 0; }

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
bool wait_for_packets(pcap_t* const* captures, int count, int ms) {
  pollfd fds[MAX_ADAPTERS];
  for (int i = 0; i < count; ++i) fds[i] = pollfd{pcap_get_selectable_fd(captures[i]), POLLIN, 0};
  const long long until_ms = monotonic_ms() + ms;
  for (long long left = ms; left > 0; left = until_ms - monotonic_ms()) {
    const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) sleep_ms(static_cast<int>(left));
    if (ready <= 0) return false;
    bool readable = false;
    for (int i = 0; i < count; ++i) {
      if ((fds[i].revents & POLLIN) != 0) {
        readable = true;
      } else if (fds[i].revents != 0) {
        fds[i].fd = -1;
      }
    }
    if (readable) return true;
  }
  return false;
}

// The kernel stamps captured packets with CLOCK_REALTIME.
void capture_clock(timeval* now) {
  timespec time;
  clock_gettime(CLOCK_REALTIME, &time);
  now->tv_sec = time.tv_sec;
  now->tv_usec = time.tv_nsec / 1000;
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

static int create_regular_file(const char* name) {
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

// A piece the library writes (a record's data) this large goes to the
// kernel from where the library holds it: packets of up to 64 KB, as GRO
// and GSO hand them to the capture.  Smaller ones are gathered first.
const size_t DIRECT_WRITE_BYTES = size_t{16} * 1024;

// A capture file's stream of the run's own.  The library writes each
// record as its header and then its data; unbuffered, the stream hands both
// here from where the library holds them.  Small pieces are copied into the
// run's buffer and reach the kernel in writes of up to FILE_BUFFER_BYTES:
// ext4 zeroes the rest of each new block a write ends inside, so small
// writes cost more than the copy (glibc's own buffer would be one of
// st_blksize, 4 KiB).  A large piece goes out in one write together with
// what the buffer held before it: one copy of it fewer than through any
// stdio buffer, and the copy into the page cache is the most a flood costs.
struct CaptureStream {
  int fd;
  char* buffer;       // FILE_BUFFER_BYTES, or null: every piece goes out at once
  size_t held;        // bytes in the buffer not yet written
  long long written;  // bytes handed to the kernel
};

// Writes the parts whole, after any short write; false when a write fails.
static bool write_parts(CaptureStream* stream, iovec* parts, int count) {
  for (;;) {
    while (count > 0 && parts->iov_len == 0) ++parts, --count;
    if (count == 0) return true;
    const ssize_t done = writev(stream->fd, parts, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    stream->written += done;
    for (size_t left = static_cast<size_t>(done); left > 0 && count > 0;) {
      const size_t taken = left < parts->iov_len ? left : parts->iov_len;
      parts->iov_base = static_cast<char*>(parts->iov_base) + taken;
      parts->iov_len -= taken;
      left -= taken;
      if (parts->iov_len == 0) ++parts, --count;
    }
  }
}

// Writes what the buffer holds, with `piece` (size bytes, or none) behind it.
static bool write_held(CaptureStream* stream, const char* piece, size_t size) {
  iovec parts[2] = {{stream->buffer, stream->held}, {const_cast<char*>(piece), size}};
  stream->held = 0;
  return write_parts(stream, parts, 2);
}

static ssize_t write_capture_stream(void* cookie, const char* piece, size_t size) {
  CaptureStream* stream = static_cast<CaptureStream*>(cookie);
  const bool gathered = stream->buffer != nullptr && size < DIRECT_WRITE_BYTES;
  if (!gathered) return write_held(stream, piece, size) ? static_cast<ssize_t>(size) : -1;
  if (stream->held + size > static_cast<size_t>(FILE_BUFFER_BYTES) &&
      !write_held(stream, nullptr, 0)) {
    return -1;
  }
  memcpy(stream->buffer + stream->held, piece, size);
  stream->held += size;
  return static_cast<ssize_t>(size);
}

static int close_capture_stream(void* cookie) {
  CaptureStream* stream = static_cast<CaptureStream*>(cookie);
  const bool written = write_held(stream, nullptr, 0);
  const int closed = close(stream->fd);
  free(stream);
  return written && closed == 0 ? 0 : -1;
}

static CaptureStream* stream_of(intptr_t handle) {
  return reinterpret_cast<CaptureStream*>(handle);  // NOLINT(performance-no-int-to-ptr)
}

pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name, char* buffer,
                                   intptr_t* handle) {
  const int fd = create_regular_file(name);
  if (fd < 0) return nullptr;
  CaptureStream* own = static_cast<CaptureStream*>(malloc(sizeof(CaptureStream)));
  if (own == nullptr) {
    close(fd);
    return nullptr;
  }
  *own = CaptureStream{fd, buffer, 0, 0};
  const cookie_io_functions_t calls = {nullptr, write_capture_stream, nullptr,
                                       close_capture_stream};
  FILE* stream = fopencookie(own, "w", calls);
  if (stream == nullptr) {
    free(own);
    close(fd);
    return nullptr;
  }
  // Closing the stream closes the descriptor and frees `own`.
  if (setvbuf(stream, nullptr, _IONBF, 0) != 0) {
    fclose(stream);
    return nullptr;
  }
  *handle = reinterpret_cast<intptr_t>(own);
  pcap_dumper_t* file = pcap_dump_fopen(capture, stream);
  if (file == nullptr) fclose(stream);
  return file;
}

bool hand_over_capture_file(pcap_dumper_t* file, intptr_t handle) {
  return pcap_dump_flush(file) == 0 && write_held(stream_of(handle), nullptr, 0);
}

long long capture_file_size(pcap_dumper_t*, intptr_t handle) { return stream_of(handle)->written; }

bool capture_file_failed(pcap_dumper_t* file) { return ferror(pcap_dump_file(file)) != 0; }

void cut_capture_file(pcap_dumper_t*, intptr_t handle, long long size) {
  CaptureStream* stream = stream_of(handle);
  stream->held = 0;
  if (ftruncate(stream->fd, size) == 0 && lseek(stream->fd, size, SEEK_SET) == size) {
    stream->written = size;
  }
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

// Every signal whose default action ends the process: besides the console's
// and the terminal's, the user signals, the alarms and the real-time signals
// that any process of the same user (nobody, once the run has given up
// root) may send.  SIGKILL and SIGSTOP cannot be held.
static sigset_t interrupt_signals() {
  const int harmless[] = {SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU};
  sigset_t set;
  sigfillset(&set);
  for (int sig : harmless) sigdelset(&set, sig);
  return set;
}

void hold_interrupts() {
  sigset_t set = interrupt_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  sigset_t set = interrupt_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
