// Helpers for tests that run the real program as a user would.
#ifndef QUORVANE_TEST_SUPPORT_H_
#define QUORVANE_TEST_SUPPORT_H_

#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  bool timed_out = false;
  std::string out;
  std::string err;
  double seconds = 0;
  // Seconds from the start at which the announcement's last line and each
  // '|' after it were read from stdout.
  double announced_s = -1;
  std::vector<double> bar_times;
  // The process's write calls and the bytes they wrote, to every file and
  // the console, as the kernel counted them at its exit (-1 when unknown).
  long long write_calls = -1;
  long long bytes_written = -1;
  double cpu_s = -1;  // user and system CPU of the process and what it waited for
};

struct RunOptions {
  std::vector<std::string> env;  // NAME=value, added to the environment
  std::string dir;               // working directory; empty for the current
  int timeout_s = 60;
  bool terminal = false;  // give the program a pseudo-terminal as stdout
  int signal = 0;         // sent after signal_after_s seconds when set
  double signal_after_s = 0;
  bool empty_argv = false;   // start argv[0] with no argument vector at all
  bool slow_reader = false;  // read stdout at about 400 KB/s, like a slow terminal
  bool never_read = false;   // leave stdout unread until the program has ended
  long file_size_limit = 0;  // RLIMIT_FSIZE in bytes when set, as ulimit -f gives
  int closed_fd = -1;        // a standard descriptor the program starts without
  int held_signal = 0;       // held from the start, as some service managers start programs
  // When set, stderr is a pipe of one page left with only this many bytes of
  // room, not read until the program has ended: a console that stopped
  // reading.  RunResult.err then holds what the program wrote.
  int err_room = -1;
};

RunResult run_program(const std::vector<std::string>& argv,
                      const RunOptions& options = RunOptions());

// Runs a shell command; fails the current test when it does not exit 0.
void shell(const std::string& command);

std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Waits (10 s at most) until a run in dir has created `file`, and a little
// more, so that what is sent next is seen by its loop.
void wait_for_capture_start(const std::string& dir, const char* file = "brovel0.cap");
void write_file(const std::string& path, const std::string& text);
// A new directory under /tmp, removed with all it holds (and whatever is
// mounted on it) when the current test ends.
std::string make_temp_dir();
int count_of(const std::string& text, char c);

// Path of a program built beside the tests.
std::string built(const char* name);

// Fails loudly under CI, skips elsewhere, when the test needs root and
// network namespaces and cannot have them.
bool namespaces_unavailable();

// The program built on the scripted capture library, run in a directory of
// its own (options.dir, or a new one) with the script given.
struct FakeRun {
  RunResult result;
  std::string log;  // the library's log of calls
  std::string dir;  // where the run worked: its capture files
};
FakeRun run_fake(const std::string& script, std::vector<std::string> args = {},
                 RunOptions options = RunOptions());

std::vector<std::string> lines_of(const std::string& text);
int lines_equal_to(const std::string& text, const std::string& line);

// What follows the announcement: the progress marks.
std::string marks_of(const std::string& out);

// A capture file as libpcap reads it back.
struct CaptureFile {
  bool opened = false;
  bool complete = false;  // read to its end without a truncated record
  int linktype = -1;
  int snaplen = -1;
  std::vector<std::string> packets;
  std::vector<long long> stamps_us;  // each packet's time stamp
};
CaptureFile read_capture(const std::string& path);

// Devices in slot order, from the "Open adapter: X." reports.
std::vector<std::string> opened_devices(const std::string& err);

// A network namespace of the test's own, removed with everything in it when
// the object goes.  Only lo exists at first, and it is down.
struct Netns {
  explicit Netns(const std::string& name);
  ~Netns();
  std::string exec(const std::string& command) const;  // "ip netns exec ..."
  std::string name;
};

#endif  // QUORVANE_TEST_SUPPORT_H_
