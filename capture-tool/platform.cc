// Two halves: POSIX (Linux with libpcap) and Windows (a WinPcap-compatible
// wpcap.dll).  Nothing above this file knows which one it runs on.
#include "platform.h"

#include <stdio.h>
#include <string.h>

#include "quorvane.h"

#ifdef _WIN32

#include <io.h>
#include <windows.h>

// Ctrl+C and a closed console are handled on a thread of their own, which
// says so and waits here for the draining pass to let it through before the
// default handler ends the process.  The only state the platform keeps.
static CRITICAL_SECTION draining;
static volatile LONG interrupted = 0;

static BOOL WINAPI wait_for_pass(DWORD) {
  InterlockedExchange(&interrupted, 1);
  EnterCriticalSection(&draining);
  return FALSE;
}

void set_up_console() {
  if (_isatty(_fileno(stdout))) setvbuf(stdout, nullptr, _IONBF, 0);
  if (_isatty(_fileno(stderr))) setvbuf(stderr, nullptr, _IONBF, 0);
  InitializeCriticalSection(&draining);
  SetConsoleCtrlHandler(wait_for_pass, TRUE);
}

// The first word of the command line as typed, without its quotes.
const char* program_name(int argc, char** argv, char* buf, size_t size) {
  const char* line = GetCommandLineA();
  size_t n = 0;
  if (line != nullptr && line[0] != '\0') {
    bool quoted = false;
    for (const char* c = line; *c != '\0' && n + 1 < size; ++c) {
      if (*c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && (*c == ' ' || *c == '\t')) break;
      buf[n++] = *c;
    }
    buf[n] = '\0';
    return buf;
  }
  if (argc > 0 && argv[0] != nullptr) return argv[0];
  DWORD len = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(size));
  if (len == 0 || len >= size) buf[0] = '\0';
  return buf;
}

void sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }

// Steps of the system timer (about 16 ms) are fine for 100 ms ticks.
long long monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

long long physical_memory_bytes() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0) return 0;
  return static_cast<long long>(status.ullTotalPhys);
}

// The file is opened by the library itself, in its own C runtime: a FILE
// must not cross from one runtime into another.  It is not locked: the
// library's open shares it for writing.
pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return nullptr;
  }
  return pcap_dump_open(capture, name);
}

// Npcap's devices are only watched, never steered.
bool opening_changes_the_machine(const char*) { return false; }

// The loop needs none of the token's privileges (an administrator's include
// backing up and restoring any file, and debugging any process): each is
// removed for good.
void drop_privileges() {
  HANDLE token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token) == 0) {
    return;
  }
  alignas(TOKEN_PRIVILEGES) char buf[4096];
  TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buf);
  DWORD size = 0;
  if (GetTokenInformation(token, TokenPrivileges, privileges, sizeof buf, &size) != 0) {
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      privileges->Privileges[i].Attributes = SE_PRIVILEGE_REMOVED;
    }
    AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// The library's stream is out of reach here; a failed flush is all there is
// to go by, and the file keeps what reached it.
bool capture_file_failed(pcap_dumper_t*) { return false; }
void cut_capture_file(pcap_dumper_t*, long long) {}

void hold_interrupts() { EnterCriticalSection(&draining); }

// Once interrupted, the handler ends the process; this thread only waits.
void release_interrupts() {
  LeaveCriticalSection(&draining);
  if (interrupted != 0) Sleep(INFINITE);
}

#else  // POSIX

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// Files past 2 GiB on 32-bit systems too.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// Under a file-size limit (ulimit -f, LimitFSIZE=) the write that crosses it
// would raise SIGXFSZ and kill the run; ignored, the write fails with EFBIG
// and the file is cut back like on a full disk.
void set_up_console() {
  if (isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IONBF, 0);
  if (isatty(STDERR_FILENO)) setvbuf(stderr, nullptr, _IONBF, 0);
  signal(SIGXFSZ, SIG_IGN);
}

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

#ifdef QUORVANE_FAKE_PLATFORM
// Test builds hand the tick's sleep, the clock and the machine's memory to
// the scripted capture library: time passes only as the script says.
extern "C" void fake_sleep_ms(int ms);
extern "C" long long fake_clock_ms();
extern "C" long long fake_memory_bytes();
void sleep_ms(int ms) { fake_sleep_ms(ms); }
long long monotonic_ms() { return fake_clock_ms(); }
long long physical_memory_bytes() { return fake_memory_bytes(); }
#else
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

long long physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? static_cast<long long>(pages) * page_size : 0;
}
#endif

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

// A large stdio buffer: the loop flushes every file once per tick, so the
// buffer only needs to spare the per-packet write calls.
pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name) {
  FILE* stream = create_regular_file(name);
  if (stream == nullptr) return nullptr;
  setvbuf(stream, nullptr, _IOFBF, FILE_BUFFER_BYTES);
  pcap_dumper_t* file = pcap_dump_fopen(capture, stream);
  if (file == nullptr) fclose(stream);
  return file;
}

bool capture_file_failed(pcap_dumper_t* file) { return ferror(pcap_dump_file(file)) != 0; }

void cut_capture_file(pcap_dumper_t* file, long long size) {
  FILE* stream = pcap_dump_file(file);
  __fpurge(stream);
  if (ftruncate(fileno(stream), size) == 0) fseeko(stream, size, SEEK_SET);
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

static sigset_t interrupt_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGPIPE);
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

#endif
