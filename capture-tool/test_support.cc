#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

static double now_s() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void start_child(const std::vector<std::string>& argv, const RunOptions& options, int out_fd,
                        int err_fd, int terminal_fd) {
  setsid();
  if (terminal_fd >= 0) ioctl(terminal_fd, TIOCSCTTY, 0);
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  if (options.closed_fd >= 0) close(options.closed_fd);
  sigset_t held;
  sigemptyset(&held);
  if (options.held_signal != 0) sigaddset(&held, options.held_signal);
  sigprocmask(SIG_SETMASK, &held, nullptr);
  if (!options.dir.empty() && chdir(options.dir.c_str()) != 0) _exit(126);
  if (options.file_size_limit > 0) {
    const rlimit limit = {static_cast<rlim_t>(options.file_size_limit),
                          static_cast<rlim_t>(options.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  for (const std::string& e : options.env) putenv(strdup(e.c_str()));
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (options.empty_argv) {
    char* no_args[] = {nullptr};
    execve(args[0], no_args, environ);
  }
  execvp(args[0], args.data());
  _exit(127);
}

// True once pid has ended; it is left to be reaped, so that its counts can
// still be read.
static bool has_exited(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

static void read_write_counts(pid_t pid, RunResult* result) {
  std::istringstream io(read_file("/proc/" + std::to_string(pid) + "/io"));
  std::string name;
  long long value = 0;
  while (io >> name >> value) {
    if (name == "syscw:") result->write_calls = value;
    if (name == "wchar:") result->bytes_written = value;
  }
}

// Moves what is readable on fd into text, at most limit bytes; false once
// the fd is done.
static bool drain(int fd, std::string* text, size_t limit = 65536) {
  char buf[65536];
  ssize_t n = read(fd, buf, limit < sizeof buf ? limit : sizeof buf);
  if (n > 0) {
    text->append(buf, n);
    return true;
  }
  return n < 0 && errno == EINTR;
}

const char ANNOUNCEMENT_END[] =
    "Ctrl+c to stop it and you will have captured data up to that point.\n";

// Notes when the announcement and each progress '|' came in, from what
// stdout has brought so far; *scanned is how far the marks were looked at.
static void time_marks(RunResult* result, double at, size_t* scanned) {
  if (result->announced_s < 0) {
    const size_t end = result->out.find(ANNOUNCEMENT_END);
    if (end == std::string::npos) return;
    result->announced_s = at;
    *scanned = end + sizeof ANNOUNCEMENT_END - 1;
  }
  for (; *scanned < result->out.size(); ++*scanned) {
    if (result->out[*scanned] == '|') result->bar_times.push_back(at);
  }
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  int master = -1, slave = -1;
  if (pipe(err_pipe) != 0) return result;
  size_t err_filler = 0;
  if (options.err_room >= 0) {
    const int page = 4096;
    err_filler = static_cast<size_t>(page - options.err_room);
    const std::string filler(err_filler, '#');
    if (fcntl(err_pipe[1], F_SETPIPE_SZ, page) != page ||
        write(err_pipe[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
      return result;
    }
  }
  if (options.terminal) {
    termios raw;
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return result;
    out_pipe[0] = master;
    out_pipe[1] = slave;
  } else if (pipe(out_pipe) != 0) {
    return result;
  }
  const double start = now_s();
  pid_t pid = fork();
  if (pid == 0) {
    start_child(argv, options, out_pipe[1], err_pipe[1], slave);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  bool open_out = true, open_err = true, signalled = false;
  int status = 0;
  bool exited = false;
  size_t marks_scanned = 0;
  while (open_out || open_err || !exited) {
    double elapsed = now_s() - start;
    if (options.signal != 0 && !signalled && elapsed >= options.signal_after_s) {
      kill(pid, options.signal);
      signalled = true;
    }
    if (elapsed > options.timeout_s && !result.timed_out) {
      kill(pid, SIGKILL);
      result.timed_out = true;
    }
    if (!exited && has_exited(pid)) {
      read_write_counts(pid, &result);
      rusage usage = {};
      exited = wait4(pid, &status, 0, &usage) == pid;
      result.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    fds[0].fd = open_out && (exited || !options.never_read) ? out_pipe[0] : -1;
    fds[1].fd = open_err && (exited || options.err_room < 0) ? err_pipe[0] : -1;
    if (poll(fds, 2, 20) > 0) {
      if (open_out && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        open_out = drain(out_pipe[0], &result.out, options.slow_reader ? 4096 : 65536);
        time_marks(&result, now_s() - start, &marks_scanned);
        if (options.slow_reader) usleep(10000);
      }
      if (open_err && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
        open_err = drain(err_pipe[0], &result.err);
    }
    // A terminal stays open while any process holds it; stop at exit.
    if (exited && options.terminal && open_out) {
      while (poll(fds, 1, 0) > 0 && drain(out_pipe[0], &result.out)) {
        time_marks(&result, now_s() - start, &marks_scanned);
      }
      open_out = false;
    }
  }
  result.seconds = now_s() - start;
  result.err.erase(0, err_filler);
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void shell(const std::string& command) {
  int rc = system(command.c_str());
  ASSERT_EQ(rc, 0) << command;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void wait_for_capture_start(const std::string& dir, const char* file) {
  for (int i = 0; i < 200 && !exists(dir + "/" + file); ++i) usleep(50000);
  usleep(200000);
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The directories the current test made, removed when it ends.
static std::vector<std::string>& temp_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

namespace {
struct RemoveTempDirs : testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override {
    for (const std::string& dir : temp_dirs()) {
      system(("umount -q -R '" + dir + "' 2>/dev/null; rm -rf --one-file-system '" + dir + "'")
                 .c_str());
    }
    temp_dirs().clear();
  }
};
const bool temp_dirs_removed = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new RemoveTempDirs);
  return true;
}();
}  // namespace

std::string make_temp_dir() {
  char name[] = "/tmp/quorvane-test-XXXXXX";
  const char* dir = mkdtemp(name);
  if (dir == nullptr) return "";
  temp_dirs().push_back(dir);
  return dir;
}

int count_of(const std::string& text, char c) {
  int n = 0;
  for (char x : text) n += x == c;
  return n;
}

std::string built(const char* name) { return std::string(QUORVANE_BUILD_DIR) + "/" + name; }

bool namespaces_unavailable() {
  bool usable = geteuid() == 0 && system(
                                      "ip netns add quorvane-probe >/dev/null 2>&1 && "
                                      "ip netns del quorvane-probe") == 0;
  if (usable) return false;
  const char* ci = getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") {
    ADD_FAILURE() << "this test needs root and network namespaces, which CI must provide";
  }
  return true;
}

Netns::Netns(const std::string& ns_name) : name(ns_name) {
  system(("ip netns del " + name + " 2>/dev/null").c_str());
  shell("ip netns add " + name);
  // No IPv6 chatter (router solicitations, DAD) on links brought up here.
  shell(exec("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"));
}

Netns::~Netns() { system(("ip netns del " + name + " 2>/dev/null").c_str()); }

std::string Netns::exec(const std::string& command) const {
  return "ip netns exec " + name + " " + command;
}

FakeRun run_fake(const std::string& script, std::vector<std::string> args, RunOptions options) {
  FakeRun run;
  run.dir = make_temp_dir();
  write_file(run.dir + "/script", script);
  options.env.push_back("QUORVANE_FAKE_SCRIPT=" + run.dir + "/script");
  options.env.push_back("QUORVANE_FAKE_LOG=" + run.dir + "/log");
  if (options.dir.empty()) options.dir = run.dir;
  args.insert(args.begin(), built("quorvane_fake"));
  run.result = run_program(args, options);
  run.log = read_file(run.dir + "/log");
  run.dir = options.dir;
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

int lines_equal_to(const std::string& text, const std::string& line) {
  int n = 0;
  for (const std::string& l : lines_of(text)) n += l == line;
  return n;
}

std::string marks_of(const std::string& out) {
  const size_t at = out.find(ANNOUNCEMENT_END);
  return at == std::string::npos ? "" : out.substr(at + sizeof ANNOUNCEMENT_END - 1);
}

CaptureFile read_capture(const std::string& path) {
  CaptureFile file;
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
  if (p == nullptr) return file;
  file.opened = true;
  file.linktype = pcap_datalink(p);
  file.snaplen = pcap_snapshot(p);
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int rc = 0;
  while ((rc = pcap_next_ex(p, &header, &data)) == 1) {
    file.packets.emplace_back(reinterpret_cast<const char*>(data), header->caplen);
    file.stamps_us.push_back(header->ts.tv_sec * 1000000LL + header->ts.tv_usec);
  }
  file.complete = rc == PCAP_ERROR_BREAK;
  pcap_close(p);
  return file;
}

std::vector<std::string> opened_devices(const std::string& err) {
  std::vector<std::string> names;
  const std::string open = "Open adapter: ";
  for (const std::string& l : lines_of(err)) {
    if (l.rfind(open, 0) == 0) names.push_back(l.substr(open.size(), l.size() - open.size() - 1));
  }
  return names;
}
