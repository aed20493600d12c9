// The capture phase: the tick loop on the scripted library, and whole runs
// on veth links carrying known traffic in namespaces of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "platform.h"
#include "quorvane.h"
#include "test_support.h"

namespace {

const char ANNOUNCE_5S[] =
    "\nWill capature for 5 seconds. Print one '|' every second. Print one '.' for every packet "
    "captured.\nCtrl+c to stop it and you will have captured data up to that point.\n";

// Bytes of the file at `path` that are in the page cache.
long long cached_bytes(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
    if (fd >= 0) close(fd);
    return 0;
  }
  void* map = mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return -1;
  const long page = sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((st.st_size + page - 1) / page);
  long long cached = -1;
  if (mincore(map, st.st_size, resident.data()) == 0) {
    cached = page * std::count_if(resident.begin(), resident.end(),
                                  [](unsigned char r) { return (r & 1) != 0; });
  }
  munmap(map, st.st_size);
  return cached;
}

// Packet `serial` as the scripted library makes it.
std::string fake_packet(unsigned serial, int length) {
  std::string data;
  for (int i = 0; i < length; ++i) data += static_cast<char>(serial + i);
  return data;
}

const char THREE_DEVICES[] =
    "device a\ndevice b\ndevice c\nlinktype c 113\n"
    "packets a 0 3 60\npackets b 0 5 60\npackets c 0 2 1400\nread-error c 0\n"
    "packets a 12 1 42\ndrops c 7\ndrops b 5\n";

// THREE_DEVICES for 5 s in a directory of its own where slot 1's file is a
// directory.
FakeRun run_three_devices(const RunOptions& given = RunOptions()) {
  RunOptions options = given;
  options.dir = make_temp_dir();
  EXPECT_EQ(mkdir((options.dir + "/brovel1.cap").c_str(), 0755), 0);
  return run_fake(THREE_DEVICES, {"5"}, options);
}

TEST(FakeLibrary, TicksSleepThenDrainThenMark) {
  FakeRun run = run_three_devices();
  RunOptions options;
  options.dir = run.dir;
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.result.err,
            "Open adapter: a.\nOpen adapter: b.\nOpen adapter: c.\nOpen 3 adapters.\n"
            "\nError opening output file for 1 device\n"
            "\n7 packets dropped on 2 device\n");
  // Tick 0: a's three, c fails and waits for tick 1; b has no file.
  EXPECT_EQ(marks_of(run.result.out), "...|..|.|||");
  EXPECT_NE(run.result.out.find(ANNOUNCE_5S), std::string::npos);

  // Serials run in read order: a 1-3, c 4-5, a 6.
  CaptureFile a = read_capture(options.dir + "/brovel0.cap");
  CaptureFile c = read_capture(options.dir + "/brovel2.cap");
  ASSERT_TRUE(a.complete && c.complete);
  EXPECT_EQ(a.snaplen, 65536);
  EXPECT_EQ(a.linktype, 1);
  EXPECT_EQ(c.linktype, 113);
  EXPECT_EQ(a.packets, (std::vector<std::string>{fake_packet(1, 60), fake_packet(2, 60),
                                                 fake_packet(3, 60), fake_packet(6, 42)}));
  EXPECT_EQ(c.packets, (std::vector<std::string>{fake_packet(4, 1400), fake_packet(5, 1400)}));

  // 50 ticks; b never read but closed like the others; the list released
  // after the files were opened and before the first tick.
  const std::string& log = run.log;
  EXPECT_EQ(lines_equal_to(log, "sleep 100"), 50);
  EXPECT_EQ(log.find("read b"), std::string::npos);
  for (const char* name : {"a", "b", "c"})
    EXPECT_EQ(lines_equal_to(log, std::string("close ") + name), 1) << name;
  EXPECT_LT(log.find("dump_open c"), log.find("freealldevs"));
  EXPECT_LT(log.find("freealldevs"), log.find("sleep"));
  EXPECT_GT(log.find("close a"), log.rfind("sleep"));
  EXPECT_EQ(lines_equal_to(log, "read c error"), 1);
  EXPECT_GT(log.find("stats c"), log.rfind("sleep"));
  EXPECT_LT(log.find("stats c"), log.find("close a"));

  // Started without standard output, or without standard error (a daemon,
  // `>&-`): the files and the library's own log are the same, byte for
  // byte; no console text lands in a file the run opened.
  for (int closed : {1, 2}) {
    RunOptions without;
    without.closed_fd = closed;
    FakeRun quiet = run_three_devices(without);
    EXPECT_EQ(quiet.result.status, 0) << closed;
    EXPECT_TRUE(quiet.log == run.log) << "the log differs with descriptor " << closed << " closed";
    for (const char* file : {"/brovel0.cap", "/brovel2.cap"}) {
      EXPECT_TRUE(read_file(quiet.dir + file) == read_file(run.dir + file)) << closed << file;
    }
  }
}

// With no capture file to write, the run ends right after the reports, as
// a failure, rather than tick for its whole time and report success.
TEST(FakeLibrary, NoCaptureFileAtAllEndsTheRunAt255) {
  RunOptions options;
  options.dir = make_temp_dir();
  ASSERT_EQ(mkdir((options.dir + "/brovel0.cap").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((options.dir + "/brovel1.cap").c_str(), 0755), 0);
  FakeRun run = run_fake("device a\ndevice b\npackets a 0 3 60\n", {}, options);
  EXPECT_EQ(run.result.status, 255);
  EXPECT_EQ(run.result.err,
            "Open adapter: a.\nOpen adapter: b.\nOpen 2 adapters.\n"
            "\nError opening output file for 0 device\n"
            "\nError opening output file for 1 device\n");
  EXPECT_EQ(marks_of(run.result.out), "");
  EXPECT_NE(run.result.out.find("Will capature for 120 seconds."), std::string::npos);
  EXPECT_EQ(run.log.find("sleep"), std::string::npos);
  EXPECT_EQ(run.log.find("read"), std::string::npos);
  EXPECT_EQ(lines_equal_to(run.log, "freealldevs"), 1);
  EXPECT_EQ(lines_equal_to(run.log, "close a"), 1);
  EXPECT_EQ(lines_equal_to(run.log, "close b"), 1);
}

// A flooded device is read a share at a time, the quiet one beside it on
// every pass, and the ticks keep to the clock while the passes overrun.
// Each read takes 20 us of the script's clock: a's 30,000 packets are 600 ms
// of reading, from the first tick on.
TEST(FakeLibrary, AFloodIsReadInSharesAndTheTicksKeepTheClock) {
  FakeRun run = run_fake(
      "read-cost 20\ndevice a\ndevice b\npackets a 0 30000 60\n"
      "packets b 0 1 60\npackets b 2 1 61\npackets b 4 1 62\npackets b 30 1 63\n",
      {"5"});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  const std::string marks = marks_of(run.result.out);
  EXPECT_EQ(count_of(marks, '|'), 5);
  EXPECT_EQ(count_of(marks, '.'), 30004);
  // Tick 0 reads from 100 ms until tick 1 is due at 200 ms, 5,000 reads,
  // and shows its '|' after the first pass, a share of a's packets and b's
  // one: the mark keeps to the clock, and the rest of the reading is
  // marked after it.
  const size_t first_bar = marks.find('|');
  EXPECT_EQ(first_bar, PASS_SHARE_PACKETS + 1u);
  EXPECT_GE(marks.find('|', first_bar + 1), 5000u);
  // b is read on every pass, never after more than a share of a's packets.
  // No sleep while a is behind (ticks 1 to 6), a whole one for every other.
  int a_run = 0, longest = 0, b_reads = 0, sleeps = 0;
  for (const std::string& line : lines_of(run.log)) {
    if (line.rfind("read a packet", 0) == 0) longest = std::max(longest, ++a_run);
    if (line.rfind("read b", 0) == 0) a_run = 0, ++b_reads;
    sleeps += line.rfind("sleep ", 0) == 0;
  }
  // And one wait at the end, for the blocks the kernel still held.
  EXPECT_EQ(sleeps, 45);
  EXPECT_EQ(lines_equal_to(run.log, "sleep 100"), 44);
  EXPECT_EQ(lines_equal_to(run.log, "sleep " + std::to_string(3 * BLOCK_TIMEOUT_MS)), 1);
  EXPECT_EQ(longest, PASS_SHARE_PACKETS);
  EXPECT_GE(b_reads, 30000 / PASS_SHARE_PACKETS);

  // Each of b's packets was read in the tick it came in: its time stamp,
  // the tick it was read in, says so.
  CaptureFile b = read_capture(run.dir + "/brovel1.cap");
  EXPECT_TRUE(b.complete);
  EXPECT_EQ(b.stamps_us, (std::vector<long long>{0, 200000, 400000, 3000000}));
  EXPECT_EQ(read_capture(run.dir + "/brovel0.cap").packets.size(), 30000u);

  // A wait ends as soon as packets come, and reads only the device that
  // has them, unless one overran its share: the passes after that read
  // every device.  Packets that come fast on a device are followed by a
  // pause as long as its buffer allows at the rate it filled: after the
  // first 210 KB, 420 KB in the 5 ms since its read before fill a quarter
  // of its 2 MB in 6.2 ms.  Packets that fill less than a share in a pause
  // since the device's read before are not: the wait goes on at once,
  // here for the rest of the tick, whether they come after a quiet spell
  // (the first 210 KB, 600 bytes after a second) or 5 ms after the tick
  // (70 KB a second later still).
  FakeRun burst = run_fake(
      "memory 16777216\ndevice a\ndevice b\npackets-at a 205 150 1400 205\n"
      "packets-at a 210 300 1400 210\npackets-at a 1250 10 60 1250\n"
      "packets-at a 2205 50 1400 2205\n",
      {"5"});
  EXPECT_EQ(burst.result.status, 0) << burst.result.err;
  const std::vector<std::string> lines = lines_of(burst.log);
  std::vector<std::string> after_wakes;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].rfind("wake after ", 0) != 0) continue;
    size_t next = k + 1;
    bool b_read = false;
    for (; next < lines.size() && lines[next].rfind("sleep ", 0) != 0 &&
           lines[next].rfind("wake ", 0) != 0;
         ++next) {
      b_read = b_read || lines[next].rfind("read b", 0) == 0;
    }
    after_wakes.push_back(lines[k] + (b_read ? ", b read, " : ", ") +
                          (next < lines.size() ? lines[next] : "none"));
  }
  EXPECT_EQ(after_wakes,
            (std::vector<std::string>{"wake after 5, wake after 5", "wake after 5, b read, sleep 6",
                                      "wake after 50, sleep 50", "wake after 5, sleep 95"}));
  EXPECT_EQ(read_capture(burst.dir + "/brovel0.cap").packets.size(), 510u);
}

// The last pass, 5 s into the script's clock, with packets that come while
// it waits for the kernel's last blocks (3 block timeouts), out of the order
// of their stamps and on past the end.  It reads on through the stamps of a
// block timeout after the end, so a packet stamped before the end behind
// one stamped just after it is kept; it stops at the first stamped later,
// which it keeps, and ends on time.  Where the stamps follow a clock of
// their own (here an hour ahead), it reads until its wait is over.
TEST(FakeLibrary, TheLastPassKeepsPacketsStampedBeforeTheEndOutOfOrder) {
  static_assert(BLOCK_TIMEOUT_MS == 100, "the script's times are for a block timeout of 100 ms");
  const std::string late =
      "device a\npackets a 48 2 60\npackets-at a 5040 1 61 5040\npackets-at a 5040 1 62 4980\n"
      "packets-at a 5200 1 63 5300\npackets-at a 5200 20 64 5320\npackets-at a 5400 5 65 5400\n";
  FakeRun run = run_fake(late, {"5"});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  CaptureFile a = read_capture(run.dir + "/brovel0.cap");
  std::vector<size_t> lengths;
  for (const std::string& packet : a.packets) lengths.push_back(packet.size());
  EXPECT_EQ(lengths, (std::vector<size_t>{60, 60, 61, 62, 63}));
  EXPECT_EQ(count_of(marks_of(run.result.out), '.'), 5);

  std::string ahead = "stamps-own-clock\n" + late;
  for (const char* stamp : {" 5040\n", " 4980\n", " 5300\n", " 5320\n", " 5400\n"}) {
    const size_t at = ahead.find(stamp);
    ahead.replace(at, strlen(stamp), " 360" + std::string(stamp + 1));
  }
  FakeRun own_clock = run_fake(ahead, {"5"});
  EXPECT_EQ(own_clock.result.status, 0) << own_clock.result.err;
  EXPECT_EQ(read_capture(own_clock.dir + "/brovel0.cap").packets.size(), 25u);
}

// A file that grows fast is handed to the disk a stretch at a time, by a
// writer beside the loop.  A disk whose hand-over blocks (here for 3 s of
// real time each, where the scripted run takes a fraction of a second)
// holds up neither the ticks, nor the run's end, nor a signal that a pass
// held.  A file that grows slowly is left to the kernel throughout.  Either
// way the files hold every packet.
TEST(FakeLibrary, AFastFileIsWrittenBehindAndABlockedDiskHoldsNothingUp) {
  const std::string stretch = " " + std::to_string(WRITE_BEHIND_BYTES);
  // 24 + 6000 x (16 + 1400) bytes: four whole stretches.
  // The first is timed from the file's opening, 100 ms before the flood,
  // and is left to the kernel.
  const std::vector<std::string> all = {
      "write-behind " + std::to_string(WRITE_BEHIND_BYTES) + stretch,
      "write-behind " + std::to_string(2 * WRITE_BEHIND_BYTES) + stretch,
      "write-behind " + std::to_string(3 * WRITE_BEHIND_BYTES) + stretch};
  const std::string flood = "packets a 0 6000 1400\n";
  std::string spread;  // 150 packets a tick: 2 MB a second
  for (int tick = 0; tick < 40; ++tick)
    spread += "packets a " + std::to_string(tick) + " 150 1400\n";
  // A signal raised a few passes after the first stretch was handed over,
  // while the writer is blocked in it.
  const std::string interrupted = flood + "raise-at 5500 " + std::to_string(SIGINT) + "\n";
  struct Case {
    const char* name;
    const std::string& packets;
    int cost_ms;
    std::vector<std::string> handed;
  };
  const Case cases[] = {{"flood", flood, 0, all},
                        {"flood, a blocked disk", flood, 3000, {all[0]}},
                        {"flood, a blocked disk, SIGINT", interrupted, 3000, {all[0]}},
                        {"spread", spread, 0, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRun run = run_fake("write-behind-cost " + std::to_string(c.cost_ms) +
                               "\ndevice a\ndevice b\n" + c.packets + "packets b 3 1 60\n",
                           {"5"});
    std::vector<std::string> handed;
    for (const std::string& line : lines_of(run.log)) {
      if (line.rfind("write-behind ", 0) == 0) handed.push_back(line);
    }
    EXPECT_EQ(handed, c.handed);
    EXPECT_LT(run.result.seconds, 2.5) << "the run waited for the disk";
    CaptureFile a = read_capture(run.dir + "/brovel0.cap");
    EXPECT_TRUE(a.complete);
    if (&c.packets == &interrupted) {
      EXPECT_EQ(run.result.status, 128 + SIGINT);
      EXPECT_LE(static_cast<size_t>(count_of(marks_of(run.result.out), '.')), a.packets.size());
      continue;
    }
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    const std::string marks = marks_of(run.result.out);
    EXPECT_EQ(count_of(marks, '|'), 5);
    EXPECT_EQ(count_of(marks, '.'), 6001);
    EXPECT_EQ(a.packets.size(), 6000u);
    EXPECT_EQ(read_capture(run.dir + "/brovel1.cap").stamps_us, std::vector<long long>{300000});
  }
}

// The loop never waits in a write: a writer of its own writes the files
// behind it, and holds interrupts only while a write is in progress.  A
// signal that comes while the disk holds a write up (here each write stops
// halfway, for 300 ms of real time) waits for that write alone, and the
// file ends whole, with whole passes; meanwhile the ticks go on.  So does
// every other signal that would end the run, such as one another process
// of nobody's sends.  And a console that stops reading (a pipe nobody
// reads) does not keep an interrupt out, neither the marks on stdout nor a
// write failure's report on stderr.
TEST(FakeLibrary, InterruptsWaitForTheFilesButNotForTheConsole) {
  // 2,000 records of 1,400 bytes, written a pass of 188 at a time; the
  // signal comes during the fourth write, after the run's last tick.
  for (int sig : {SIGINT, SIGUSR1, SIGALRM}) {
    RunOptions slow_disk;
    slow_disk.terminal = true;  // the marks show as they are printed
    slow_disk.signal = sig;
    slow_disk.signal_after_s = 1.0;
    slow_disk.timeout_s = 10;
    FakeRun mid_write =
        run_fake("write-cost 300\ndevice a\npackets a 0 2000 1400\n", {"5"}, slow_disk);
    EXPECT_EQ(mid_write.result.status, 128 + sig) << strsignal(sig);
    EXPECT_LT(mid_write.result.seconds, 1.8) << strsignal(sig) << " waited for more than a write";
    CaptureFile a = read_capture(mid_write.dir + "/brovel0.cap");
    EXPECT_TRUE(a.complete) << strsignal(sig) << " tore a record";
    EXPECT_GT(a.packets.size(), 0u) << strsignal(sig);
    EXPECT_EQ(a.packets.size() % 188, 0u) << strsignal(sig) << " ended a pass part-way";
    const std::string marks = marks_of(mid_write.result.out);
    EXPECT_EQ(count_of(marks, '|'), 5) << strsignal(sig) << ": the ticks waited for the disk";
    EXPECT_LE(static_cast<size_t>(count_of(marks, '.')), a.packets.size()) << strsignal(sig);
  }

  // A signal the program was started with held (as some service managers
  // and shells start their children) stays held after the pass: the run
  // goes on to its end.  A fault in a pass is not held back from its
  // handler.
  RunOptions started_held;
  started_held.held_signal = SIGUSR1;
  FakeRun held =
      run_fake("device a\npackets a 0 200 1400\nraise-at 190 " + std::to_string(SIGUSR1) + "\n",
               {"5"}, started_held);
  EXPECT_EQ(held.result.status, 0) << "a signal held from the start ended the run";
  EXPECT_EQ(read_capture(held.dir + "/brovel0.cap").packets.size(), 200u);
  FakeRun fault = run_fake("device a\npackets a 0 200 1400\nfault-at 190\n", {"5"});
  EXPECT_EQ(fault.result.status, 70) << "the fault's handler was skipped";
  EXPECT_NE(fault.result.err.find("fault handled"), std::string::npos) << fault.result.err;

  // Under large packets a signal waits for a write of a pass's share of
  // bytes, not for all the file's ring holds: records of 64 KB go out five
  // at a time, and a signal during the second write finds ten in the file,
  // where the ring holds fifty more.
  RunOptions second_write;
  second_write.signal = SIGINT;
  second_write.signal_after_s = 0.45;
  second_write.timeout_s = 10;
  FakeRun large =
      run_fake("write-cost 300\ndevice a\npackets a 0 2000 65535\n", {"5"}, second_write);
  EXPECT_EQ(large.result.status, 128 + SIGINT);
  CaptureFile shared = read_capture(large.dir + "/brovel0.cap");
  EXPECT_TRUE(shared.complete);
  EXPECT_GE(shared.packets.size(), 5u);
  EXPECT_LE(shared.packets.size(), 15u);

  // A file-size limit fails a write on tick 6 while stderr has room for the
  // adapter reports only: the report then waits for a reader that never
  // comes, and SIGTERM must still end the run.
  std::string limited = "device a\n";
  for (int tick = 0; tick < 50; ++tick)
    limited += "packets a " + std::to_string(tick) + " 10 1000\n";
  RunOptions stalled;
  stalled.file_size_limit = 64L * 1024;
  stalled.err_room = static_cast<int>(strlen("Open adapter: a.\nOpen 1 adapters.\n"));
  stalled.signal = SIGTERM;
  stalled.signal_after_s = 1.0;
  stalled.timeout_s = 10;
  FakeRun failed_write = run_fake(limited, {"5"}, stalled);
  EXPECT_FALSE(failed_write.result.timed_out) << "the interrupt waited for the console";
  EXPECT_EQ(failed_write.result.status, 128 + SIGTERM);
  EXPECT_EQ(failed_write.result.err, "Open adapter: a.\nOpen 1 adapters.\n");
  CaptureFile cut_back = read_capture(failed_write.dir + "/brovel0.cap");
  EXPECT_TRUE(cut_back.complete);
  EXPECT_EQ(cut_back.packets.size(), 60u);

  RunOptions options;
  options.never_read = true;
  options.signal = SIGINT;
  options.signal_after_s = 1.0;
  options.timeout_s = 10;
  FakeRun unread = run_fake("device a\npackets a 0 300000 60\n", {"5"}, options);
  EXPECT_FALSE(unread.result.timed_out) << "the interrupt waited for the console";
  EXPECT_EQ(unread.result.status, 128 + SIGINT);
  const int shown = count_of(marks_of(unread.result.out), '.');
  CaptureFile file = read_capture(unread.dir + "/brovel0.cap");
  EXPECT_TRUE(file.complete);
  EXPECT_GT(shown, 0);
  EXPECT_LE(static_cast<size_t>(shown), file.packets.size());
}

// Under a file-size limit (ulimit -f 64) a write past it fails like a full
// disk: reported once for its slot, the file cut back to its last whole
// record, the other slot recorded to the end, status 255.  So it does for
// records of 30,000 bytes, of which the limit lets the third be written in
// part: the file holds two; its close fails as well, and it is still
// reported once.  A file whose close alone fails (a quota a network file
// system reports only then) is reported the same way.
TEST(FakeLibrary, AFileSizeLimitIsAWriteFailure) {
  std::string script = "device a\ndevice b\ndevice c\nclose-fails c\n";
  for (int tick = 0; tick < 50; ++tick) {
    script += "packets a " + std::to_string(tick) + " 10 1000\n";
    script += "packets b " + std::to_string(tick) + " 1 60\n";
    script += "packets c " + std::to_string(tick) + " 1 30000\n";
  }
  RunOptions options;
  options.file_size_limit = 64L * 1024;
  FakeRun run = run_fake(script, {"5"}, options);
  EXPECT_EQ(run.result.status, 255) << run.result.err;
  EXPECT_EQ(run.result.err,
            "Open adapter: a.\nOpen adapter: b.\nOpen adapter: c.\nOpen 3 adapters.\n"
            "\nError writing output file for 2 device\n"
            "\nError writing output file for 0 device\n");
  // Each tick adds 10 records of 1016 bytes to a's file: the seventh
  // crosses 64 KiB.
  CaptureFile a = read_capture(run.dir + "/brovel0.cap");
  CaptureFile b = read_capture(run.dir + "/brovel1.cap");
  CaptureFile c = read_capture(run.dir + "/brovel2.cap");
  EXPECT_TRUE(a.complete && b.complete && c.complete);
  EXPECT_EQ(a.packets.size(), 60u);
  EXPECT_EQ(b.packets.size(), 50u);
  ASSERT_EQ(c.packets.size(), 2u);
  EXPECT_EQ(c.packets[1].size(), 30000u);
  EXPECT_EQ(read_file(run.dir + "/brovel2.cap").size(), 24u + 2 * (16 + 30000));
  EXPECT_EQ(count_of(marks_of(run.result.out), '.'), 112);

  FakeRun unclosed =
      run_fake("device a\ndevice b\nclose-fails b\npackets a 0 5 60\npackets b 0 5 60\n", {"5"});
  EXPECT_EQ(unclosed.result.status, 255) << unclosed.result.err;
  EXPECT_EQ(unclosed.result.err,
            "Open adapter: a.\nOpen adapter: b.\nOpen 2 adapters.\n"
            "\nError writing output file for 1 device\n");
  EXPECT_EQ(read_capture(unclosed.dir + "/brovel1.cap").packets.size(), 5u);
}

// Capture side "qc-*" holds c0..c(n-1); sender side "qs-*" the peers s0...
struct LinkedNamespaces {
  LinkedNamespaces(const std::string& tag, int links)
      : capture("quorvane-c" + tag), sender("quorvane-s" + tag) {
    for (int i = 0; i < links; ++i) {
      const std::string c = "c" + std::to_string(i), s = "s" + std::to_string(i);
      shell(
          capture.exec("ip link add " + c + " type veth peer name " + s + " netns " + sender.name));
      shell(capture.exec("ip link set up " + c));
      shell(sender.exec("ip link set up " + s));
    }
  }
  // Sends `count` frames of `payload` bytes on link i; returns how many went.
  long send(int link, long count, int payload, int rate, double max_s) const {
    RunResult r =
        run_program({"ip", "netns", "exec", sender.name, built("quorvane_sender"),
                     "s" + std::to_string(link), std::to_string(count), std::to_string(payload),
                     std::to_string(rate), std::to_string(max_s), std::to_string(link)});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.rfind("sent ", 0) == 0 ? std::stol(r.out.substr(5)) : -1;
  }
  // The same on a thread of its own; join it to have *sent.
  std::thread send_meanwhile(int link, long count, int payload, int rate, double max_s,
                             long* sent) const {
    return std::thread([=] { *sent = send(link, count, payload, rate, max_s); });
  }
  // Starts the program capturing for `seconds` and returns once it is in
  // its loop; join the thread to have *run.
  std::thread start_capture(const std::string& seconds, const RunOptions& options,
                            RunResult* run) const {
    std::thread tool([this, seconds, options, run] {
      *run =
          run_program({"ip", "netns", "exec", capture.name, built("quorvane"), seconds}, options);
    });
    wait_for_capture_start(options.dir);
    return tool;
  }
  // /proc/PID/status of the program capturing in the capture namespace.
  std::string capture_status() const {
    RunResult pids = run_program({"ip", "netns", "pids", capture.name});
    const std::vector<std::string> lines = lines_of(pids.out);
    return lines.empty() ? "" : read_file("/proc/" + lines[0] + "/status");
  }
  Netns capture;
  Netns sender;
};

// The value of one "Name:\tvalue" line of /proc/PID/status, without the
// blank some kernels end a list with.
std::string status_field(const std::string& status, const std::string& name) {
  for (const std::string& line : lines_of(status)) {
    if (line.rfind(name + ":\t", 0) != 0) continue;
    std::string value = line.substr(name.size() + 2);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
  }
  return "(none)";
}

std::vector<std::string> expected_frames(long count, int payload, uint32_t tag) {
  std::vector<std::string> frames;
  uint8_t buf[FRAME_HEADER + FRAME_MAX_PAYLOAD];
  for (long i = 0; i < count; ++i) {
    const size_t n = fill_frame(buf, static_cast<uint64_t>(i), payload, tag);
    frames.emplace_back(reinterpret_cast<const char*>(buf), n);
  }
  return frames;
}

int slot_of(const std::vector<std::string>& opened, const std::string& name) {
  for (size_t k = 0; k < opened.size(); ++k)
    if (opened[k] == name) return static_cast<int>(k);
  return -1;
}

std::string slot_file(const std::string& dir, int k) {
  return dir + "/brovel" + std::to_string(k) + ".cap";
}

// Records in the files of every slot the run opened; each file must read
// to its end with the snapshot length 65536.
size_t records_in_all_files(const RunResult& run, const std::string& dir) {
  size_t records = 0;
  for (size_t k = 0; k < opened_devices(run.err).size(); ++k) {
    CaptureFile file = read_capture(slot_file(dir, static_cast<int>(k)));
    EXPECT_TRUE(file.complete) << "slot " << k;
    EXPECT_EQ(file.snaplen, 65536) << "slot " << k;
    records += file.packets.size();
  }
  return records;
}

// The file of the named device, found by its slot in the run's reports.
CaptureFile file_of(const RunResult& run, const std::string& dir, const std::string& device) {
  return read_capture(slot_file(dir, slot_of(opened_devices(run.err), device)));
}

TEST(RealCapture, TwoLinksOfKnownTrafficEndToEnd) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("e2e", 2);
  RunOptions options;
  options.dir = make_temp_dir();
  RunResult run;
  std::thread tool = net.start_capture("5", options, &run);
  // From its first tick on, the run holds no privilege: nobody, with no
  // groups, no capabilities, and no way to gain any.  Reading, writing, the
  // statistics and closing below still work.
  const std::string status = net.capture_status();
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
  EXPECT_EQ(status_field(status, "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid) << status;
  EXPECT_EQ(status_field(status, "Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
  EXPECT_EQ(status_field(status, "Groups"), "");
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
    EXPECT_EQ(status_field(status, set), "0000000000000000") << set;
  EXPECT_EQ(status_field(status, "NoNewPrivs"), "1");
  const long sent0 = net.send(0, 300, 64, 2000, 3);
  const long sent1 = net.send(1, 200, 1400, 2000, 3);
  tool.join();
  ASSERT_EQ(sent0, 300);
  ASSERT_EQ(sent1, 200);

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.seconds, 5.0);
  const std::string marks = marks_of(run.out);
  EXPECT_EQ(count_of(marks, '|'), 5);
  EXPECT_EQ(marks.back(), '|');
  EXPECT_EQ(marks.find_first_not_of(".|"), std::string::npos);

  const size_t records = records_in_all_files(run, options.dir);
  EXPECT_EQ(static_cast<size_t>(count_of(marks, '.')), records);

  // Each link's file holds exactly what was sent on it, in order.
  CaptureFile c0 = file_of(run, options.dir, "c0");
  CaptureFile c1 = file_of(run, options.dir, "c1");
  EXPECT_EQ(c0.linktype, DLT_EN10MB);
  EXPECT_EQ(c1.linktype, DLT_EN10MB);
  EXPECT_TRUE(c0.packets == expected_frames(300, 64, 0)) << c0.packets.size();
  EXPECT_TRUE(c1.packets == expected_frames(200, 1400, 1)) << c1.packets.size();
  // The any device sees both links, in its own link type.
  CaptureFile any = file_of(run, options.dir, "any");
  EXPECT_EQ(any.linktype, DLT_LINUX_SLL);
  EXPECT_EQ(any.packets.size(), 500u);

  // A second reader agrees.
  if (system("command -v capinfos >/dev/null") == 0) {
    RunResult info = run_program(
        {"capinfos", "-c", "-M", slot_file(options.dir, slot_of(opened_devices(run.err), "c1"))});
    EXPECT_NE(info.out.find("Number of packets:   200"), std::string::npos) << info.out;
  }
}

// Only regular files of the run's own user are written.  In a shared
// directory (group-writable, no sticky bit) a directory, a symbolic link, a
// FIFO with a reader, a hard link and another user's file in the way each
// fail their slot and are left alone, the FIFO never opened.  A file the run
// creates is its owner's alone; one it empties keeps its mode.
TEST(RealCapture, FilesInTheDirectory) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("files", 5);
  RunOptions options;
  options.dir = make_temp_dir();
  const std::string& dir = options.dir;
  ASSERT_EQ(chmod(dir.c_str(), 0775), 0);
  const std::string outside = make_temp_dir();
  const std::string old_text(10000, 'x');
  for (const char* name : {"/brovel0.cap", "/brovel5.cap", "/brovel9.cap"})
    write_file(dir + name, old_text);
  ASSERT_EQ(chmod((dir + "/brovel0.cap").c_str(), 0640), 0);
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(chown((dir + "/brovel5.cap").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chmod((dir + "/brovel5.cap").c_str(), 0666), 0);
  write_file(outside + "/target", old_text);
  write_file(outside + "/linked", old_text);
  const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/brovel9.cap").c_str(), old_times, 0), 0);
  ASSERT_EQ(mkdir((dir + "/brovel1.cap").c_str(), 0755), 0);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (dir + "/brovel2.cap").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/brovel3.cap").c_str(), 0644), 0);
  const int fifo_reader = open((dir + "/brovel3.cap").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifo_reader, 0);
  ASSERT_EQ(link((outside + "/linked").c_str(), (dir + "/brovel4.cap").c_str()), 0);

  options.timeout_s = 30;
  RunResult run =
      run_program({"ip", "netns", "exec", net.capture.name, built("quorvane"), "5"}, options);
  ASSERT_FALSE(run.timed_out) << "a file in the way made the run wait";
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> opened = opened_devices(run.err);
  ASSERT_GE(opened.size(), 7u);
  ASSERT_LE(opened.size(), 9u);
  for (int k = 0; k < static_cast<int>(opened.size()); ++k) {
    const std::string report = "\nError opening output file for " + std::to_string(k) + " device\n";
    EXPECT_EQ(run.err.find(report) != std::string::npos, k >= 1 && k <= 5) << k;
  }
  // No traffic: only the marks, and files with a header and nothing else.
  EXPECT_EQ(marks_of(run.out), "|||||");
  EXPECT_EQ(read_file(dir + "/brovel0.cap").size(), 24u);
  struct stat st;
  ASSERT_EQ(stat((dir + "/brovel0.cap").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  for (size_t k = 6; k < opened.size(); ++k) {
    const std::string file = slot_file(dir, static_cast<int>(k));
    EXPECT_EQ(read_file(file).size(), 24u) << k;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << k;
    EXPECT_EQ(st.st_uid, 0u) << k;
  }
  EXPECT_EQ(read_file(outside + "/target"), old_text);
  EXPECT_EQ(read_file(outside + "/linked"), old_text);
  EXPECT_TRUE(read_file(dir + "/brovel5.cap") == old_text) << "another user's file was written";
  ASSERT_EQ(stat((dir + "/brovel5.cap").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(read_file(dir + "/brovel9.cap"), old_text);
  ASSERT_EQ(stat((dir + "/brovel9.cap").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  ASSERT_EQ(lstat((dir + "/brovel3.cap").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A writer that came and went would leave the reader a hang-up.
  pollfd reader = {fifo_reader, POLLIN, 0};
  EXPECT_EQ(poll(&reader, 1, 0), 0) << "the FIFO was opened: " << reader.revents;
  close(fifo_reader);
}

// A second run started in the same directory while the first records: it
// reports every file the first one holds and leaves it alone, and still
// records on the slots beyond.  The first run's file keeps exactly its own
// frames, of two sizes, in order.  A run that finds every one of its files
// held (fewer devices than the first) reports them and ends at once, as a
// failure.
TEST(RealCapture, SecondRunInTheSameDirectoryLeavesTheFirstRunsFiles) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces first_net("twice1", 2);
  LinkedNamespaces second_net("twice2", 7);  // more devices: slots the first has not
  Netns fewer("quorvane-twice3");            // fewer devices: only slots the first holds
  RunOptions options;
  options.dir = make_temp_dir();
  RunResult first, second;
  std::thread first_tool = first_net.start_capture("9", options, &first);
  const RunResult none =
      run_program({"ip", "netns", "exec", fewer.name, built("quorvane"), "5"}, options);
  EXPECT_EQ(none.status, 255) << none.err;
  EXPECT_LT(none.seconds, 3.0) << "a run with no file to write went on";
  EXPECT_EQ(marks_of(none.out), "");
  const size_t none_opened = opened_devices(none.err).size();
  ASSERT_GE(none_opened, 1u) << none.err;
  for (size_t k = 0; k < none_opened; ++k) {
    EXPECT_NE(none.err.find("\nError opening output file for " + std::to_string(k) + " device\n"),
              std::string::npos)
        << k;
  }
  EXPECT_EQ(first_net.send(0, 300, 64, 1000, 2), 300);
  std::thread second_tool([&] {
    second = run_program({"ip", "netns", "exec", second_net.capture.name, built("quorvane"), "5"},
                         options);
  });
  wait_for_capture_start(options.dir, "brovel5.cap");
  EXPECT_EQ(first_net.send(0, 200, 1400, 1000, 2), 200);
  EXPECT_EQ(second_net.send(6, 100, 64, 1000, 2), 100);
  second_tool.join();
  first_tool.join();

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(first.err.find("Error opening output file"), std::string::npos) << first.err;
  const size_t held = opened_devices(first.err).size();
  const size_t opened = opened_devices(second.err).size();
  ASSERT_GT(opened, held);
  for (size_t k = 0; k < opened; ++k) {
    const std::string report = "\nError opening output file for " + std::to_string(k) + " device\n";
    EXPECT_EQ(second.err.find(report) != std::string::npos, k < held) << "slot " << k;
  }

  std::vector<std::string> expected = expected_frames(300, 64, 0);
  for (const std::string& frame : expected_frames(200, 1400, 0)) expected.push_back(frame);
  CaptureFile c0 = file_of(first, options.dir, "c0");
  EXPECT_TRUE(c0.complete);
  EXPECT_TRUE(c0.packets == expected) << "c0 of the first run holds " << c0.packets.size();
  records_in_all_files(first, options.dir);  // each of them parses to its end
  ASSERT_GE(slot_of(opened_devices(second.err), "c6"), static_cast<int>(held));
  CaptureFile c6 = file_of(second, options.dir, "c6");
  EXPECT_TRUE(c6.packets == expected_frames(100, 64, 6)) << "c6 holds " << c6.packets.size();
}

// A disk that fills mid-capture: one report per slot that failed, status
// -1, and every file still whole up to its last complete record.
TEST(RealCapture, FullDiskIsReportedAndLosesNoEarlierRecord) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("full", 1);
  RunOptions options;
  options.dir = make_temp_dir();
  shell("mount -t tmpfs -o size=1m quorvane-full " + options.dir);
  RunResult run;
  std::thread tool = net.start_capture("5", options, &run);
  const long sent = net.send(0, 2000, 1400, 2000, 3);
  tool.join();
  EXPECT_EQ(sent, 2000);
  EXPECT_EQ(run.status, 255) << run.err;
  int reports = 0;
  for (size_t k = 0; k < opened_devices(run.err).size(); ++k) {
    const std::string report = "\nError writing output file for " + std::to_string(k) + " device\n";
    const size_t first = run.err.find(report);
    EXPECT_EQ(run.err.find(report, first + 1), std::string::npos) << "reported twice: " << k;
    reports += first != std::string::npos;
    CaptureFile file = read_capture(slot_file(options.dir, static_cast<int>(k)));
    EXPECT_TRUE(file.complete) << k;
    if (first != std::string::npos) {
      printf("full disk: slot %zu kept %zu records\n", k, file.packets.size());
      EXPECT_GT(file.packets.size(), 100u) << k;
    }
  }
  EXPECT_GE(reports, 1);
  shell("umount " + options.dir);
}

// A link deleted mid-capture: the run goes on and ends on time, and the
// device's file keeps what it captured before.
TEST(RealCapture, DeviceDeletedMidCapture) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("gone", 2);
  RunOptions options;
  options.dir = make_temp_dir();
  RunResult run;
  std::thread tool = net.start_capture("5", options, &run);
  EXPECT_EQ(net.send(0, 200, 64, 2000, 3), 200);
  usleep(500000);
  shell(net.capture.exec("ip link del c0"));
  EXPECT_EQ(net.send(1, 100, 64, 2000, 3), 100);
  tool.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_LT(run.seconds, 8.0);
  EXPECT_EQ(count_of(marks_of(run.out), '|'), 5);
  CaptureFile c0 = file_of(run, options.dir, "c0");
  CaptureFile c1 = file_of(run, options.dir, "c1");
  EXPECT_TRUE(c0.complete);
  EXPECT_TRUE(c0.packets == expected_frames(200, 64, 0)) << c0.packets.size();
  EXPECT_TRUE(c1.packets == expected_frames(100, 64, 1)) << c1.packets.size();
  // The loop sleeps out its ticks, a device gone or not: it does not spin.
  EXPECT_LT(run.cpu_s, 2.0);
}

// A capture on `device` of namespace `ns`, opened as the program opens its
// adapters; its socket stays in the namespace it was made in.
pcap_t* open_capture_in(const std::string& ns, const char* device) {
  pcap_t* capture = nullptr;
  std::thread([&] {
    const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    char errbuf[PCAP_ERRBUF_SIZE];
    if (entered) capture = open_adapter(device, MIN_RING_BUFFER_BYTES, errbuf);
  }).join();
  return capture;
}

double thread_cpu_s() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The wait a tick sleeps in, on a real capture: it lasts its time when
// nothing comes, ends as soon as the kernel hands over a frame, and once
// the device is gone lasts its time again, asleep, rather than wake for
// the device's error.
TEST(RealDevices, WaitForPacketsEndsForPacketsOnly) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("wait", 1);
  pcap_t* capture = open_capture_in(net.capture.name, "c0");
  ASSERT_NE(capture, nullptr);
  bool ready = false;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait_for_packets(&capture, 1, 300, &ready));
  EXPECT_GE(seconds_since(start), 0.29);

  long sent = 0;
  std::thread frame([&] {
    usleep(300000);
    sent = net.send(0, 1, 64, 0, 1);
  });
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait_for_packets(&capture, 1, 10000, &ready));
  const double woke_s = seconds_since(start);
  EXPECT_TRUE(ready);
  frame.join();
  ASSERT_EQ(sent, 1);
  EXPECT_GE(woke_s, 0.29);
  EXPECT_LT(woke_s, 3.0);
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  ASSERT_EQ(pcap_next_ex(capture, &header, &data), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), header->caplen),
            expected_frames(1, 64, 0)[0]);

  // The socket of a deleted device reports its error until it is read.
  shell(net.capture.exec("ip link del c0"));
  start = std::chrono::steady_clock::now();
  const double cpu_before_s = thread_cpu_s();
  EXPECT_FALSE(wait_for_packets(&capture, 1, 300, &ready));
  EXPECT_GE(seconds_since(start), 0.29);
  EXPECT_LT(thread_cpu_s() - cpu_before_s, 0.05) << "woken again and again by the error";
  pcap_close(capture);
}

// The run's last pass, on a real capture: frames sent in the last block
// timeout before the end are still in the kernel's current block, which it
// hands over only once its block timeout runs out, yet they all reach the
// file.
// The pass then ends, also while frames keep coming: it reads on past the
// end only through the stamps of a block timeout, and ends within a few.
TEST(RealDevices, TheLastPassKeepsWhatArrivedBeforeTheEnd) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("last", 1);
  pcap_t* sender = open_capture_in(net.sender.name, "s0");
  ASSERT_NE(sender, nullptr);
  for (bool keep_sending : {false, true}) {
    SCOPED_TRACE(keep_sending ? "frames sent on past the end" : "nothing sent after the end");
    AdapterTable table = {};
    Adapter* slot = &table.slots[0];
    slot->capture = open_capture_in(net.capture.name, "c0");
    ASSERT_NE(slot->capture, nullptr);
    const std::string path = make_temp_dir() + "/brovel0.cap";
    table.files = new_file_writer();
    ASSERT_NE(table.files, nullptr);
    slot->file =
        create_capture_file(slot->capture, path.c_str(), table.files, 0, &slot->file_handle);
    ASSERT_NE(slot->file, nullptr);
    table.count = 1;
    start_file_writer(table.files);

    // At most 2,000 frames, one every 200 us, for 0.4 s or until the pass ended.
    std::atomic<long> sent{0};
    std::atomic<bool> ended{false};
    std::thread frames([&] {
      uint8_t frame[FRAME_HEADER + FRAME_MAX_PAYLOAD];
      const long count = keep_sending ? 2000 : 5;
      for (long k = 0; k < count && !ended; ++k) {
        if (k > 0) usleep(k < 5 ? 2000 : 200);
        const size_t length = fill_frame(frame, static_cast<uint64_t>(k), 64, 0);
        if (pcap_sendpacket(sender, frame, static_cast<int>(length)) != 0) break;
        sent = k + 1;
      }
    });
    while (sent < 5) usleep(100);
    if (!keep_sending) frames.join();
    char dots[PASS_SHARE_PACKETS];
    memset(dots, '.', sizeof dots);
    timespec end;
    clock_gettime(CLOCK_REALTIME, &end);
    const long sent_before_end = sent;
    const auto start = std::chrono::steady_clock::now();
    drain_to_the_end(&table, dots);
    const double took_s = seconds_since(start);
    ended = true;
    if (keep_sending) frames.join();
    pcap_close(slot->capture);
    bool close_failed[1] = {};
    close_capture_files(table.files, 1, close_failed);
    EXPECT_FALSE(close_failed[0]);

    const CaptureFile file = read_capture(path);
    const std::vector<std::string> before = expected_frames(sent_before_end, 64, 0);
    ASSERT_GE(file.packets.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), file.packets.begin()))
        << "a frame sent before the end is missing";
    const long long end_us = end.tv_sec * 1000000LL + end.tv_nsec / 1000;
    const long long window_us = (BLOCK_TIMEOUT_MS + 2) * 1000LL;
    EXPECT_LE(std::count_if(file.stamps_us.begin(), file.stamps_us.end(),
                            [&](long long stamp) { return stamp > end_us + window_us; }),
              1)
        << "read on past the end";
    EXPECT_LT(took_s, 0.5);
    if (!keep_sending) {
      EXPECT_EQ(file.packets.size(), 5u);
      EXPECT_GE(took_s, 3.0 * BLOCK_TIMEOUT_MS / 1000 - 0.001);
    }
  }
  pcap_close(sender);
}

// A run held up in the middle of a flood (stopped for a second, as a
// Ctrl+Z would): the ring overflows, the drops are reported per slot, and
// kept plus dropped cannot exceed what was sent.  On a terminal.  The files
// reach the kernel in the file writer's large writes, not in 4 KiB stdio
// blocks: on ext4 each write that ends inside a block costs a zeroed block.
// Behind the writer the files go to the disk as they grow and leave the
// page cache, so that a long flood does not push out what the machine's
// other programs keep there.
TEST(RealCapture, FloodBeyondTheRingReportsDrops) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("flood", 1);
  RunOptions options;
  options.dir = make_temp_dir();
  options.terminal = true;
  RunResult run;
  std::thread tool = net.start_capture("6", options, &run);
  long sent = 0;
  std::thread flood = net.send_meanwhile(0, 100000000, 1400, 0, 3, &sent);
  const std::string capture_pids = "ip netns pids " + net.capture.name + " | xargs -r kill -";
  usleep(1000000);
  shell(capture_pids + "STOP");
  usleep(1000000);
  shell(capture_pids + "CONT");
  flood.join();
  tool.join();
  EXPECT_EQ(run.status, 0) << run.err;
  const int k = slot_of(opened_devices(run.err), "c0");
  const long long cached = cached_bytes(slot_file(options.dir, k));  // before it is read
  const std::string tail = " packets dropped on " + std::to_string(k) + " device\n";
  const size_t at = run.err.find(tail);
  ASSERT_NE(at, std::string::npos) << run.err;
  const long dropped = std::stol(run.err.substr(run.err.rfind('\n', at) + 1));
  const long kept = static_cast<long>(read_capture(slot_file(options.dir, k)).packets.size());
  printf("flood: sent %ld, kept %ld, dropped %ld\n", sent, kept, dropped);
  EXPECT_GT(dropped, 0);
  EXPECT_LE(kept + dropped, sent);
  EXPECT_GE(kept + dropped, sent / 2) << "kept " << kept << " dropped " << dropped;

  struct stat file;
  ASSERT_EQ(stat(slot_file(options.dir, k).c_str(), &file), 0);
  printf("flood: %lld write calls for %lld bytes\n", run.write_calls, run.bytes_written);
  ASSERT_GT(run.write_calls, 0);
  EXPECT_GE(run.bytes_written, static_cast<long long>(file.st_size));
  EXPECT_LT(run.write_calls, file.st_size / 16384)
      << "bytes per write call: " << run.bytes_written / run.write_calls;

  struct statfs where;
  ASSERT_EQ(statfs(options.dir.c_str(), &where), 0);
  if (where.f_type == TMPFS_MAGIC) {
    GTEST_SKIP() << "the files are on tmpfs, whose pages cannot leave memory: the page cache "
                    "was not checked (the test's directories are under /tmp)";
  }
  ASSERT_GT(file.st_size, 16 * WRITE_BEHIND_BYTES) << "the flood wrote too little to tell";
  printf("flood: %lld of the file's %lld bytes in the page cache\n", cached,
         (long long)file.st_size);
  ASSERT_GE(cached, 0);
  EXPECT_LT(cached, file.st_size / 4);
}

// On a terminal read as fast as it comes: a flood on c0 and 5,000 frames/s
// on c1.  The quiet link loses nothing, the run ends on time, the '|' come
// a second apart, and every '.' stands for a record in a file.
TEST(RealCapture, FloodBesideAQuietDeviceOnATerminal) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("quiet", 2);
  RunOptions options;
  options.dir = make_temp_dir();
  options.terminal = true;
  RunResult run;
  std::thread tool = net.start_capture("8", options, &run);
  long quiet = 0;
  std::thread quiet_sender = net.send_meanwhile(1, 25000, 64, 5000, 6, &quiet);
  const long flood = net.send(0, 100000000, 64, 0, 5);
  quiet_sender.join();
  tool.join();
  ASSERT_EQ(quiet, 25000);
  EXPECT_EQ(run.status, 0) << run.err;

  CaptureFile c1 = file_of(run, options.dir, "c1");
  EXPECT_TRUE(c1.packets == expected_frames(25000, 64, 1)) << "c1 kept " << c1.packets.size();
  const size_t records = records_in_all_files(run, options.dir);
  EXPECT_EQ(static_cast<size_t>(count_of(marks_of(run.out), '.')), records);
  printf("flood beside a quiet link: %ld flood frames sent, %zu records, run %.2f s\n", flood,
         records, run.seconds - run.announced_s);

  ASSERT_GT(run.announced_s, 0);
  EXPECT_LT(run.seconds - run.announced_s, 8.5);
  ASSERT_EQ(run.bar_times.size(), 8u);
  EXPECT_LT(run.bar_times[0] - run.announced_s, 0.4);
  for (size_t k = 1; k < run.bar_times.size(); ++k)
    EXPECT_NEAR(run.bar_times[k] - run.bar_times[0], static_cast<double>(k), 0.3) << "'|' " << k;
}

// Under a terminal, each signal that ends a run, sent mid-traffic (a user
// signal as any process of nobody's may send it): the process ends
// by the signal, and every file parses to its end and holds at least the
// packets whose marks were shown.
TEST(RealCapture, InterruptedRunsKeepEveryPacketShown) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("sig", 1);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
    RunOptions options;
    options.dir = make_temp_dir();
    options.terminal = true;
    options.signal = sig;
    options.signal_after_s = 2.0;
    RunResult run;
    std::thread tool = net.start_capture("30", options, &run);
    const long sent = net.send(0, 60000, 200, 20000, 3);
    tool.join();
    EXPECT_EQ(run.status, 128 + sig) << strsignal(sig);
    const int shown = count_of(marks_of(run.out), '.');
    const size_t kept = records_in_all_files(run, options.dir);
    EXPECT_GT(shown, 0) << strsignal(sig);
    EXPECT_LT(shown, 2 * sent) << strsignal(sig) << ": the signal came after the traffic";
    EXPECT_GE(kept, static_cast<size_t>(shown)) << strsignal(sig);
  }
}

// Under a flood one slot may not run dry before the flood ends (here the
// terminal takes marks slower than frames arrive); an interrupt must still
// end the run at once, with the files whole.
TEST(RealCapture, InterruptDuringAFloodEndsTheRunAtOnce) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  LinkedNamespaces net("flood-int", 1);
  RunOptions options;
  options.dir = make_temp_dir();
  options.terminal = true;
  options.slow_reader = true;
  options.signal = SIGINT;
  options.signal_after_s = 2.0;
  RunResult run;
  std::thread tool = net.start_capture("30", options, &run);
  net.send(0, 100000000, 64, 0, 4);
  tool.join();
  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_LT(run.seconds, 3.5) << "the interrupt waited for the flood to end";
  const int shown = count_of(marks_of(run.out), '.');
  const size_t kept = records_in_all_files(run, options.dir);
  EXPECT_GT(shown, 0);
  EXPECT_GE(kept, static_cast<size_t>(shown));
}

}  // namespace
