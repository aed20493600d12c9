// The platform layer on Windows, with a WinPcap-compatible wpcap.dll.
#include "platform.h"

#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "quorvane.h"

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

// A process started without a standard stream (from a service, or with
// its handle closed) has no handle behind that descriptor, which a file
// the C runtime opens later could then take, along with the console's text.
static void open_closed_standard_stream(FILE* stream, const char* mode) {
  const int fd = _fileno(stream);
  const intptr_t handle = fd >= 0 ? _get_osfhandle(fd) : -1;
  if (handle == -1 || handle == -2) freopen("NUL", mode, stream);
}

void set_up_console() {
  open_closed_standard_stream(stdin, "r");
  open_closed_standard_stream(stdout, "w");
  open_closed_standard_stream(stderr, "w");
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

// Npcap and WinPcap signal a capture's event once its driver buffer holds
// enough to copy (16 KB by default) and clear it on the next read.  The
// wait tells only the first event it found set, so every capture is read
// after it: asking each event in turn would cost a call per capture, where
// a read that finds nothing costs no more.
bool wait_for_packets(pcap_t* const* captures, int count, int ms, bool* ready) {
  HANDLE events[MAX_ADAPTERS];
  DWORD waiting = 0;
  for (int i = 0; i < count; ++i) {
    HANDLE event = pcap_getevent(captures[i]);
    if (event != nullptr) events[waiting++] = event;
  }
  const DWORD woke = waiting > 0
                         ? WaitForMultipleObjects(waiting, events, FALSE, static_cast<DWORD>(ms))
                         : WAIT_FAILED;
  if (woke < WAIT_OBJECT_0 + waiting) {
    for (int i = 0; i < count; ++i) ready[i] = true;
    return true;
  }
  if (woke != WAIT_TIMEOUT) Sleep(static_cast<DWORD>(ms));
  return false;
}

// In 100 ns units, without the time the machine spent asleep, like Linux's
// CLOCK_MONOTONIC; its steps (the system timer's, about 16 ms) are fine for
// 100 ms ticks.
long long monotonic_ms() {
  ULONGLONG now = 0;
  QueryUnbiasedInterruptTime(&now);
  return static_cast<long long>(now / 10000);
}

long long physical_memory_bytes() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0) return 0;
  return static_cast<long long>(status.ullTotalPhys);
}

// Npcap's own folder, where its installer puts wpcap.dll by default
// (System32\Npcap); false where it does not exist.
static bool npcap_folder(wchar_t* path, UINT size) {
  const wchar_t npcap[] = L"\\Npcap";
  const UINT length = GetSystemDirectoryW(path, size);
  if (length == 0 || length + sizeof npcap / sizeof npcap[0] > size) return false;
  memcpy(path + length, npcap, sizeof npcap);
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
using AddDllDirectoryCall = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);

template <typename Call>
static Call kernel32_call(const char* name) {
  FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

// DLLs, wpcap.dll and those it loads in turn (WinPcap's Packet.dll), are
// looked for beside the program, in Npcap's folder and in System32 only:
// never in the working directory or on PATH, where whoever may write a
// folder that an administrator runs the program in could plant one.  Where
// Windows lacks the calls for that (Windows 7 without KB2533623), the
// working directory at least is left out.
static void restrict_dll_search(const wchar_t* npcap) {
  const auto set_default = kernel32_call<SetDefaultDllDirectoriesCall>("SetDefaultDllDirectories");
  const auto add_directory = kernel32_call<AddDllDirectoryCall>("AddDllDirectory");
  if (set_default != nullptr && add_directory != nullptr &&
      set_default(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                  LOAD_LIBRARY_SEARCH_SYSTEM32) != 0) {
    if (npcap != nullptr) add_directory(npcap);
    return;
  }
  SetDllDirectoryW(npcap != nullptr ? npcap : L"");
}

// wpcap.dll is delay-loaded: found here, before its first call, beside the
// program, where Npcap puts it by default (System32\Npcap; only its
// WinPcap-compatible mode also puts it in System32) or where WinPcap does
// (System32), in that order.
bool load_capture_library(char* errbuf) {
  wchar_t npcap[MAX_PATH];
  restrict_dll_search(npcap_folder(npcap, MAX_PATH) ? npcap : nullptr);
  if (LoadLibraryA("wpcap.dll") != nullptr) return true;
  snprintf(errbuf, PCAP_ERRBUF_SIZE,
           "wpcap.dll cannot be loaded: install Npcap (or WinPcap) to capture");
  return false;
}

// Npcap stamps packets on a clock of its own: the performance counter,
// set against the system time once, when its driver started, and free to
// drift from it since.  The stamps cannot be set against the system's time.
bool capture_clock(timeval*) { return false; }

using DumpHopen = pcap_dumper_t* (*)(pcap_t*, intptr_t);

// Npcap has it; WinPcap 4.1.3 does not, so it is looked up, not imported.
static DumpHopen find_dump_hopen() {
  HMODULE library = GetModuleHandleA("wpcap.dll");
  FARPROC found = library != nullptr ? GetProcAddress(library, "pcap_dump_hopen") : nullptr;
  return reinterpret_cast<DumpHopen>(reinterpret_cast<void (*)()>(found));
}

// Opens name for writing, shared for reading only: a second run's open fails
// with a sharing violation while this run holds the file.  A reparse point
// (a symbolic link, a junction) is opened as itself and refused, and so is
// anything but a plain disk file with one name.  An existing file is emptied
// only once the handle is held.
static HANDLE open_plain_file(const char* name) {
  HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info;
  const LARGE_INTEGER start = {};
  if (GetFileType(file) != FILE_TYPE_DISK || GetFileInformationByHandle(file, &info) == 0 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1 ||
      ((info.nFileSizeHigh != 0 || info.nFileSizeLow != 0) &&
       (SetFilePointerEx(file, start, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(file) == 0))) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Npcap's devices are only watched, never steered.
bool opening_changes_the_machine(const char*) { return false; }

// No device of Npcap's touches the firewall's logging: nothing to note.
void note_firewall_loggers(FirewallLoggers* loggers) {
  for (char* name : loggers->names) name[0] = '\0';
}

void restore_firewall_loggers(const FirewallLoggers*) {}

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

// Handles travel as intptr_t, as pcap_dump_hopen takes them.
static HANDLE as_handle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// The size on the file's own handle; without one (the library opened the
// file) there is nothing to cut back to.
static long long file_size(intptr_t handle) {
  LARGE_INTEGER size = {};
  if (handle == 0 || GetFileSizeEx(as_handle(handle), &size) == 0) return 0;
  return size.QuadPart;
}

// The library's stream gave up its buffer when its flush failed; the file
// is cut back on the handle.  Without a handle the file keeps what reached
// it.
static void cut_back(intptr_t handle, long long size) {
  if (handle == 0) return;
  LARGE_INTEGER end;
  end.QuadPart = size;
  if (SetFilePointerEx(as_handle(handle), end, nullptr, FILE_BEGIN) != 0) {
    SetEndOfFile(as_handle(handle));
  }
}

// The library's stream is another C runtime's, out of the program's reach:
// its bytes cannot be routed to a writer of the program's, so the loop
// writes the files itself, each pass flushing what it copied.  WriteFile
// only copies into the system cache, whose lazy writer writes the files
// back on threads of its own.
struct WrittenFile {
  pcap_dumper_t* file;
  intptr_t handle;
  long long bytes;  // the size after the last good flush
  long long packets_written;
  bool failed;
};

struct FileWriter {
  WrittenFile files[MAX_ADAPTERS];
  HeldInterrupts held;
};

FileWriter* new_file_writer() { return static_cast<FileWriter*>(calloc(1, sizeof(FileWriter))); }

// The file is opened here and its handle given to the library, which makes
// its own stream of it: a FILE must not cross from one C runtime into
// another.  A library without pcap_dump_hopen opens the file itself, shared
// for writing, so the file is neither held against a second run nor cut
// back after a failed write; a directory or reparse point in the way is
// still refused.  The stream and its buffer are the library's own.
static pcap_dumper_t* open_through_library(pcap_t* capture, const char* name, intptr_t* handle) {
  const DumpHopen dump_hopen = find_dump_hopen();
  if (dump_hopen == nullptr) {
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return nullptr;
    }
    *handle = 0;
    return pcap_dump_open(capture, name);
  }
  HANDLE file = open_plain_file(name);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // On failure the library may have closed the handle already: it is left.
  pcap_dumper_t* dumper = dump_hopen(capture, reinterpret_cast<intptr_t>(file));
  *handle = reinterpret_cast<intptr_t>(file);
  return dumper;
}

pcap_dumper_t* create_capture_file(pcap_t* capture, const char* name, FileWriter* writer, int slot,
                                   intptr_t* handle) {
  pcap_dumper_t* file = open_through_library(capture, name, handle);
  // The header goes out now: an interrupted run still leaves a valid file.
  if (file != nullptr && pcap_dump_flush(file) != 0) {
    pcap_dump_close(file);
    return nullptr;
  }
  if (file != nullptr)
    writer->files[slot] = WrittenFile{file, *handle, file_size(*handle), 0, false};
  return file;
}

void start_file_writer(FileWriter*) {}

bool file_has_room(FileWriter* writer, int slot) { return !writer->files[slot].failed; }

void begin_pass(FileWriter* writer) { hold_interrupts(&writer->held); }

// A failed flush is all there is to go by: the library's stream is out of
// reach.
void end_pass(FileWriter* writer, int slot, int packets) {
  WrittenFile* written = &writer->files[slot];
  if (pcap_dump_flush(written->file) == 0) {
    written->bytes = file_size(written->handle);
    written->packets_written += packets;
  } else {
    cut_back(written->handle, written->bytes);
    written->failed = true;
  }
  release_interrupts(&writer->held);
}

long long file_written(FileWriter* writer, int slot, long long* bytes, bool* failed) {
  const WrittenFile* written = &writer->files[slot];
  *bytes = written->bytes;
  *failed = written->failed;
  return written->packets_written;
}

bool write_files_now(FileWriter*, int) { return true; }

// The stream is the library's own, and pcap_dump_close says nothing of how
// its close went: a last flush is all there is to go by.  Windows reports
// a write it could not complete later (a network share's delayed write) to
// the system's log, not to the handle's close.
void close_capture_files(FileWriter* writer, int count, bool* close_failed) {
  for (int slot = 0; slot < count; ++slot) {
    pcap_dumper_t* file = writer->files[slot].file;
    close_failed[slot] = false;
    if (file == nullptr) continue;
    close_failed[slot] = pcap_dump_flush(file) != 0;
    pcap_dump_close(file);
  }
  free(writer);
}

// No writer is needed here: WriteFile only copies into the system cache,
// and the cache manager's lazy writer writes the file back on threads of
// its own, so the loop does not wait for a slow disk beyond the throttling
// every writer meets once the cache holds too much unwritten.
WriteBehind* start_writing_behind(const intptr_t*, int) { return nullptr; }

bool write_capture_file_behind(WriteBehind*, intptr_t, long long, long long) { return false; }

void finish_writing_behind(WriteBehind*, int) {}

void hold_interrupts(HeldInterrupts*) { EnterCriticalSection(&draining); }

// Once interrupted, the handler ends the process; this thread only waits.
void release_interrupts(const HeldInterrupts*) {
  LeaveCriticalSection(&draining);
  if (interrupted != 0) Sleep(INFINITE);
}
