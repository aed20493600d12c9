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
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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

static FILE* create_regular_file(const char* name) {
  const int fd = open_file_for_capture(name);
  if (fd < 0) return nullptr;
  struct stat st;
  // The lock, taken before anything is emptied, keeps a second run in the
  // same directory off this run's files; it goes with the descriptor.  A new
  // file is not truncated: on ext4 a truncation to zero makes the close wait
  // for the whole file to be written back, at the end of the run.
  if (fstat(fd, &st) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      (st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) close(fd);
  return stream;
}

// glibc takes a buffer size only together with a buffer: given none, it
// keeps one of st_blksize.  Behind the 24-byte file header every 4 KiB write
// then ends inside a block, and ext4 zeroes the rest of each new block
// before the next write fills it: under a flood, more CPU than the copy.
pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name, char* buffer,
                                   intptr_t* handle) {
  FILE* stream = create_regular_file(name);
  if (stream == nullptr) return nullptr;
  *handle = fileno(stream);
  if (buffer != nullptr) setvbuf(stream, buffer, _IOFBF, FILE_BUFFER_BYTES);
  pcap_dumper_t* file = pcap_dump_fopen(capture, stream);
  if (file == nullptr) fclose(stream);
  return file;
}

long long capture_file_size(pcap_dumper_t* file, intptr_t) { return pcap_dump_ftell64(file); }

bool capture_file_failed(pcap_dumper_t* file) { return ferror(pcap_dump_file(file)) != 0; }

void cut_capture_file(pcap_dumper_t* file, intptr_t handle, long long size) {
  FILE* stream = pcap_dump_file(file);
  __fpurge(stream);
  if (ftruncate(static_cast<int>(handle), size) == 0) fseeko(stream, size, SEEK_SET);
}

// The stream is the program's own (pcap_dump_fopen); pcap_dump_close would
// close it too, but drop what fclose says.
bool close_capture_file(pcap_dumper_t* file, intptr_t) { return fclose(pcap_dump_file(file)) == 0; }

// Starts writing a stretch of the file on fd to the disk.  The test build
// takes it from scripted_clock.cc.
void hand_over_stretch(int fd, long long from, long long bytes);

#ifndef QUORVANE_FAKE_PLATFORM
// The stretches before the one handed over are let go of as a window of
// LET_GO_BYTES: a page still being written is kept by the kernel, and is
// tried again on the next calls while it stays inside the window.  Both
// calls are requests: where one fails, the kernel still writes the file
// back in its own time.  sync_file_range waits while the disk's queue is
// full, which is why only the writer process makes it.
void hand_over_stretch(int fd, long long from, long long bytes) {
  const long long LET_GO_BYTES = 64LL * 1024 * 1024;
  sync_file_range(fd, from, bytes, SYNC_FILE_RANGE_WRITE);
  const long long written = from - bytes;
  if (written <= 0) return;
  const long long start = written > LET_GO_BYTES ? written - LET_GO_BYTES : 0;
  posix_fadvise(fd, start, written - start, POSIX_FADV_DONTNEED);
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
