// Runs a capture with its standard output on a pseudo-terminal (as a user
// at a console would) or on a pipe (as a redirected run), reads it as fast
// as it comes, passes its standard error through, and prints how the run
// kept time and what it cost:
//
//   quorvane_watch_marks tty|pipe COMMAND [ARG...]
//   -> "run 8.07 lag 0.14 bars 8 status 0 cpu 1.21 loop_cpu 0.62 rss_kb 265000"
//
// COMMAND must end up in the program itself by exec (taskset, ip netns exec).
// run: seconds from the adapter report ("Open N adapters.") until the
// program's output closes.  lag: the latest '|' against its second, counted
// from the announcement (the first '|' is due 0.1 s after it, the k-th k s
// later); only on a terminal, since a pipe gets the marks in blocks.
// cpu: user + system seconds of the whole run; loop_cpu: of what follows the
// announcement, without the start-up (mostly the kernel zeroing buffers).
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

static double now_s() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Watch {
  pid_t pid;
  std::string out_head;  // standard output up to the announcement's end
  std::string err;
  double reported = -1, announced = -1, lag = 0;
  double cpu_at_announcement = 0;
  int bars = 0;
};

// User + system seconds the process has used so far.
static double cpu_seconds(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = fopen(path, "r");
  if (f == nullptr) return 0;
  char text[1024] = "";
  const size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  const char* p = strrchr(text, ')');  // the name may hold spaces
  unsigned long utime = 0, stime = 0;
  if (p == nullptr ||
      sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

static void watch_output(Watch* w, const char* buf, size_t n, double at) {
  static const std::string last_line =
      "Ctrl+c to stop it and you will have captured data up to that point.\n";
  size_t from = 0;
  if (w->announced < 0) {
    w->out_head.append(buf, n);
    const size_t found = w->out_head.find(last_line);
    if (found == std::string::npos) return;
    w->announced = at;
    w->cpu_at_announcement = cpu_seconds(w->pid);
    from = n - (w->out_head.size() - found - last_line.size());
  }
  for (size_t i = from; i < n; ++i) {
    if (buf[i] != '|') continue;
    const double late = at - w->announced - w->bars;
    if (late > w->lag) w->lag = late;
    ++w->bars;
  }
}

static void watch_errors(Watch* w, const char* buf, size_t n, double at) {
  fwrite(buf, 1, n, stderr);
  w->err.append(buf, n);
  const size_t open = w->err.find("\nOpen ");
  if (w->reported < 0 && open != std::string::npos &&
      w->err.find(" adapters.\n", open) != std::string::npos) {
    w->reported = at;
  }
}

int main(int argc, char** argv) {
  if (argc < 3 || (strcmp(argv[1], "tty") != 0 && strcmp(argv[1], "pipe") != 0)) {
    fprintf(stderr, "usage: %s tty|pipe COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  const bool tty = strcmp(argv[1], "tty") == 0;
  int out[2], err[2];
  if (tty) {
    termios raw;
    cfmakeraw(&raw);
    if (openpty(&out[0], &out[1], nullptr, &raw, nullptr) != 0) return 1;
  } else if (pipe(out) != 0) {
    return 1;
  }
  if (pipe(err) != 0) return 1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    // As from a terminal: a script's background job starts with Ctrl+C and
    // Ctrl+\\ ignored, and the program would keep that.
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);

  Watch w;
  w.pid = pid;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  char buf[65536];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {  // end of a pipe, or EIO once nobody holds the terminal
        fds[i].fd = -1;
        continue;
      }
      if (i == 0) watch_output(&w, buf, static_cast<size_t>(n), now_s());
      if (i == 1) watch_errors(&w, buf, static_cast<size_t>(n), now_s());
    }
  }
  const double end = now_s();
  int status = 0;
  rusage usage = {};
  wait4(pid, &status, 0, &usage);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (tty) {
    printf("run %.2f lag %.2f bars %d", w.reported < 0 ? -1 : end - w.reported, w.lag, w.bars);
  } else {
    printf("run %.2f lag - bars -", w.reported < 0 ? -1 : end - w.reported);
  }
  printf(" status %d cpu %.2f loop_cpu %.2f rss_kb %ld\n",
         WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu,
         cpu - w.cpu_at_announcement, usage.ru_maxrss);
  return 0;
}
