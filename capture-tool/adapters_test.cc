// The device list and the opening of adapters, on the scripted capture
// library (exact output for every path) and on real namespace devices.
#include <gtest/gtest.h>
#include <limits.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quorvane.h"
#include "test_support.h"

namespace {

const char GBK_NO_INTERFACES[] =
    "\n\xC7\xEB\xC8\xB7\xC8\xCF\xC4\xFA\xB0\xB2\xD7\xB0\xC1\xCBWinPcap\xA1\xA3"
    "No interfaces found! Make sure WinPcap is installed.\n";

std::string banner(const std::string& name) {
  return "Quorvane Version 1.0. To configure capture time ( in second ), run it as " + name +
         " [duration]\n\n";
}

std::string unable(const std::string& name) {
  return "\nUnable to open this adapter. " + name + " is not supported by WinPcap\n";
}

TEST(FakeLibrary, EnumerationFailureAndEmptyListEndTheRun) {
  FakeRun failed = run_fake("findalldevs-error socket: Operation not permitted\n");
  const std::string head = banner(built("quorvane_fake")) + "Retrieving adapter list...\n";
  EXPECT_EQ(failed.result.out, head);
  EXPECT_EQ(failed.result.err, "Error in pcap_findalldevs: socket: Operation not permitted\n");
  EXPECT_EQ(failed.result.status, 255);
  EXPECT_EQ(lines_equal_to(failed.log, "freealldevs"), 0);

  FakeRun empty = run_fake("");
  EXPECT_EQ(empty.result.out, head + GBK_NO_INTERFACES);
  EXPECT_EQ(empty.result.err, "");
  EXPECT_EQ(empty.result.status, 255);
  EXPECT_EQ(lines_equal_to(empty.log, "freealldevs"), 0);
  EXPECT_EQ(empty.log.find("open"), std::string::npos);
}

TEST(FakeLibrary, ListsAllTwelveAndOpensOnlyTheFirstTen) {
  std::string script;
  for (int i = 1; i <= 12; ++i) {
    script += "device d" + std::to_string(i);
    if (i == 2) script += "|";
    if (i == 3 || i == 12) script += "|Intel(R) PRO/1000 (d" + std::to_string(i) + ")";
    script += "\n";
  }
  script += "open-fails d1\nopen-fails d3\nnonblock-fails d6\nopen-fails d9\n";
  script += "memory 1073741824\n";
  FakeRun run = run_fake(script);

  std::string listing;
  for (int i = 1; i <= 12; ++i) {
    std::string description = "No description available";
    if (i == 2) description = "";
    if (i == 3 || i == 12) description = "Intel(R) PRO/1000 (d" + std::to_string(i) + ")";
    listing += std::to_string(i) + ". d" + std::to_string(i) + " (" + description + ")\n";
  }
  EXPECT_EQ(run.result.out.substr(0, run.result.out.find("\nOpening adapters...\n") + 21),
            banner(built("quorvane_fake")) + "Retrieving adapter list...\n" + listing +
                "\nOpening adapters...\n");
  EXPECT_EQ(run.result.err.substr(0, run.result.err.find("Open 6 adapters.\n") + 17),
            unable("d1") + "Open adapter: d2.\n" + unable("d3") +
                "Open adapter: d4.\nOpen adapter: d5.\n" + unable("d6") +
                "Open adapter: d7.\nOpen adapter: d8.\n" + unable("d9") +
                "Open adapter: d10.\nOpen 6 adapters.\n");
  EXPECT_EQ(run.result.status, 0);

  // Only the first ten are tried, every one with the fixed settings, and on
  // this 1 GiB machine their buffers take 128 MiB at most: 1 GiB / 8 / 10.
  for (int i = 1; i <= 10; ++i) {
    const std::string name = "d" + std::to_string(i);
    EXPECT_EQ(lines_equal_to(run.log, "open " + name + " snaplen=65536 promisc=1 timeout=" +
                                          std::to_string(BLOCK_TIMEOUT_MS) + " buffer=13421772"),
              1)
        << name;
  }
  EXPECT_EQ(run.log.find("open d11"), std::string::npos);
  EXPECT_EQ(run.log.find("open d12"), std::string::npos);
  // Each handle is closed exactly once, the list released exactly once.
  for (int i = 1; i <= 10; ++i)
    EXPECT_EQ(lines_equal_to(run.log, "close d" + std::to_string(i)), 1) << i;
  EXPECT_EQ(lines_equal_to(run.log, "freealldevs"), 1);
}

TEST(FakeLibrary, NoneOfTheFirstTenOpensEvenWithAnEleventh) {
  std::string script;
  for (int i = 1; i <= 11; ++i) script += "device n" + std::to_string(i) + "\n";
  for (int i = 1; i <= 10; ++i) script += "open-fails n" + std::to_string(i) + "\n";
  FakeRun run = run_fake(script);
  std::string reports;
  for (int i = 1; i <= 10; ++i) reports += unable("n" + std::to_string(i));
  EXPECT_EQ(run.result.err,
            reports + "\nUnable to open any adapter. None is supported by WinPcap\n");
  EXPECT_EQ(run.result.status, 255);
  EXPECT_EQ(run.log.find("open n11"), std::string::npos);
  EXPECT_EQ(lines_equal_to(run.log, "freealldevs"), 1);
  for (int i = 1; i <= 10; ++i)
    EXPECT_EQ(lines_equal_to(run.log, "close n" + std::to_string(i)), 1) << i;
}

TEST(FakeLibrary, BannerNamesTheProgramAsInvokedAndComesFirst) {
  FakeRun two_args = run_fake("findalldevs-error x\n", {"30", "40"});
  EXPECT_EQ(two_args.result.out.rfind(banner(built("quorvane_fake")), 0), 0u);

  // Started by a relative path, the banner keeps it relative.
  RunOptions options;
  options.dir = QUORVANE_BUILD_DIR;
  std::vector<std::string> argv = {"./quorvane_fake"};
  RunResult by_relative_path = run_program(argv, options);
  EXPECT_EQ(by_relative_path.out.rfind(banner("./quorvane_fake"), 0), 0u) << by_relative_path.out;

  // Started with no argument vector at all: the executable's full path.
  char full[PATH_MAX];
  ASSERT_NE(realpath(built("quorvane_fake").c_str(), full), nullptr);
  options.empty_argv = true;
  argv = {built("quorvane_fake")};
  RunResult nameless = run_program(argv, options);
  EXPECT_EQ(nameless.out.rfind(banner(full), 0), 0u) << nameless.out;
  EXPECT_EQ(nameless.status, 255);
}

}  // namespace

namespace {

// tcpdump's own listing, as this program would print each entry.
std::vector<std::string> listing_by_tcpdump(const Netns& ns) {
  RunResult listed = run_program({"ip", "netns", "exec", ns.name, "tcpdump", "-D"});
  std::vector<std::string> entries;
  std::istringstream in(listed.out);
  for (std::string line; std::getline(in, line);) {
    const size_t dot = line.find('.');
    std::string entry = line.substr(dot + 1);
    const size_t flags = entry.rfind(" [");
    if (flags != std::string::npos) entry.resize(flags);
    if (entry.find(' ') == std::string::npos) entry += " (No description available)";
    entries.push_back(line.substr(0, dot) + ". " + entry);
  }
  return entries;
}

std::string name_of(const std::string& entry) {
  const size_t start = entry.find(". ") + 2;
  return entry.substr(start, entry.find(' ', start) - start);
}

TEST(RealDevices, ListsEveryDeviceAndOpensTheFirstTenThatOpen) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  Netns ns("quorvane-adapters");
  for (int i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i);
    shell(ns.exec("ip link add qa" + n + " type veth peer name qb" + n));
  }
  for (const char* up : {"qa0", "qb0", "qa1"}) shell(ns.exec(std::string("ip link set up ") + up));

  const std::vector<std::string> expected = listing_by_tcpdump(ns);
  ASSERT_GE(expected.size(), 12u);

  // With a session bus running, dbus-session opens, but its reads can only
  // wait: it must be refused rather than stall the capture.
  const std::string bus_file = make_temp_dir() + "/bus";
  shell("dbus-daemon --session --fork --print-address=1 --print-pid=1 >" + bus_file);
  const std::vector<std::string> bus = lines_of(read_file(bus_file));
  ASSERT_EQ(bus.size(), 2u);
  RunOptions options;
  options.dir = make_temp_dir();
  options.timeout_s = 60;
  options.env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus[0]);
  RunResult run = run_program({"ip", "netns", "exec", ns.name, built("quorvane"), "5"}, options);
  kill(std::stoi(bus[1]), SIGTERM);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0) << run.err;

  // The listing: every device, in the library's order, numbered from 1.
  std::vector<std::string> out = lines_of(run.out);
  ASSERT_GE(out.size(), 3 + expected.size());
  EXPECT_EQ(out[2], "Retrieving adapter list...");
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(out[3 + i], expected[i]);
  EXPECT_EQ(out[3 + expected.size()], "");
  EXPECT_EQ(out[4 + expected.size()], "Opening adapters...");

  // One report for each of the first ten, in order, and none after.
  std::string reports;
  int opened = 0;
  for (size_t i = 0; i < 10; ++i) {
    const std::string name = name_of(expected[i]);
    const std::string open_line = "Open adapter: " + name + ".\n";
    const bool must_open = name == "qa0" || name == "qb0" || name == "qa1" || name == "any";
    const bool must_fail = name == "lo" || name.rfind("dbus", 0) == 0 || name[0] == 'q';
    const bool did_open = run.err.find(open_line) != std::string::npos;
    EXPECT_FALSE(must_open && !did_open) << name;
    EXPECT_FALSE(must_fail && !must_open && did_open) << name;
    reports += did_open ? open_line : unable(name);
    opened += did_open;
  }
  for (size_t i = 10; i < expected.size(); ++i)
    EXPECT_EQ(run.err.find(" " + name_of(expected[i]) + " "), std::string::npos);
  EXPECT_EQ(run.err.substr(0, reports.size()), reports);
  EXPECT_NE(run.err.find("Open " + std::to_string(opened) + " adapters.\n"), std::string::npos);
}

// The firewall's logger of every protocol family of the namespace, one
// "family=logger" line each (net.netfilter.nf_log.N).
std::string firewall_loggers(const Netns& ns) {
  const std::string each =
      "cd /proc/sys/net/netfilter/nf_log && for f in *; do echo \"$f=$(cat $f)\"; done";
  return run_program({"ip", "netns", "exec", ns.name, "sh", "-c", each}).out;
}

// A run leaves the firewall as it found it.  A rule hands ICMP to netfilter
// queue 0, which no program holds, so the kernel drops it; a run, which
// lists the nfqueue device like any other, must not bind that queue: none
// is bound while it runs, and the pings stay dropped.  Opening the nflog
// device must not leave the firewall's loggers bound to its log group
// (iptables' LOG and TRACE would go there from then on), neither during the
// run nor after it; the device still records what an NFLOG rule sends to
// group 0.  Where the loggers could not be put back (a container's
// read-only /proc/sys, here in a mount namespace of the test's own), nflog
// is not opened at all and is reported as not supported.
TEST(RealDevices, NfqueueIsListedButNeverOpened) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root and network namespaces";
  Netns ns("quorvane-nfqueue");
  shell(ns.exec("ip link set up lo"));
  shell(ns.exec("iptables -A INPUT -p icmp -j NFQUEUE --queue-num 0"));
  shell(ns.exec("iptables -A OUTPUT -p icmp --icmp-type echo-request -j NFLOG --nflog-group 0"));
  const std::string loggers = firewall_loggers(ns);
  ASSERT_NE(loggers.find("\n2=nf_log_ipv4\n"), std::string::npos) << loggers;
  RunOptions options;
  options.dir = make_temp_dir();
  RunResult run;
  std::thread tool([&] {
    run = run_program({"ip", "netns", "exec", ns.name, built("quorvane"), "5"}, options);
  });
  wait_for_capture_start(options.dir);
  RunResult ping = run_program(
      {"ip", "netns", "exec", ns.name, "ping", "-c", "3", "-i", "0.3", "-W", "1", "127.0.0.1"});
  RunResult queues =
      run_program({"ip", "netns", "exec", ns.name, "cat", "/proc/net/netfilter/nfnetlink_queue"});
  EXPECT_EQ(firewall_loggers(ns), loggers) << "during the run";
  tool.join();
  EXPECT_EQ(firewall_loggers(ns), loggers) << "after the run";
  EXPECT_EQ(queues.status, 0) << queues.err;
  EXPECT_EQ(queues.out, "") << "bound during the run";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(". nfqueue ("), std::string::npos) << run.out;
  EXPECT_NE(run.err.find(unable("nfqueue")), std::string::npos) << run.err;
  EXPECT_NE(ping.out.find("3 packets transmitted, 0 received"), std::string::npos) << ping.out;
  const std::vector<std::string> opened = opened_devices(run.err);
  const auto nflog = std::find(opened.begin(), opened.end(), "nflog");
  ASSERT_NE(nflog, opened.end()) << run.err;
  const CaptureFile logged =
      read_capture(options.dir + "/brovel" + std::to_string(nflog - opened.begin()) + ".cap");
  EXPECT_EQ(logged.linktype, DLT_NFLOG);
  EXPECT_EQ(logged.packets.size(), 3u) << "echo requests the NFLOG rule logged";

  const std::string read_only_proc_sys =
      "mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys && exec " +
      built("quorvane") + " 5";
  RunResult contained = run_program({"ip", "netns", "exec", ns.name, "unshare", "--mount",
                                     "--propagation", "private", "sh", "-c", read_only_proc_sys},
                                    options);
  EXPECT_EQ(firewall_loggers(ns), loggers) << "after a run under a read-only /proc/sys";
  EXPECT_EQ(contained.status, 0) << contained.err;
  EXPECT_NE(contained.err.find(unable("nflog")), std::string::npos) << contained.err;
  const std::vector<std::string> contained_opened = opened_devices(contained.err);
  EXPECT_EQ(std::count(contained_opened.begin(), contained_opened.end(), "nflog"), 0);
}

// A run on a whole device list of many kinds, pseudo-devices and all, must
// end, with every file whole.  In a namespace of its own: a run on the
// host's list would set the host's devices promiscuous and record its
// traffic.
TEST(RealDevices, RunOnEveryKindOfDeviceEnds) {
  if (namespaces_unavailable()) GTEST_SKIP() << "needs root";
  Netns ns("quorvane-kinds");
  shell(ns.exec("ip link set up lo"));
  shell(ns.exec("ip link add qv0 type veth peer name qv1"));
  shell(ns.exec("ip link add qbr0 type bridge"));
  shell(ns.exec("ip link add qvx0 type vxlan id 7 dstport 4789 dev qv0"));
  shell(ns.exec("ip link add qmv0 link qv1 type macvlan mode bridge"));
  shell(ns.exec("ip tuntap add dev qtap0 mode tap"));
  for (const char* up : {"qv0", "qv1", "qbr0", "qvx0", "qmv0"})
    shell(ns.exec(std::string("ip link set up ") + up));
  RunOptions options;
  options.dir = make_temp_dir();
  options.timeout_s = 60;
  RunResult run = run_program({"ip", "netns", "exec", ns.name, built("quorvane"), "5"}, options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> opened = opened_devices(run.err);
  EXPECT_GE(opened.size(), 5u) << run.err;
  for (size_t k = 0; k < opened.size(); ++k) {
    EXPECT_TRUE(read_capture(options.dir + "/brovel" + std::to_string(k) + ".cap").complete)
        << opened[k];
  }
}

// The kernel buffers of one run take at most an eighth of the machine's
// memory, split evenly, each within the library's default and 16 MiB.
TEST(RingBuffer, AnEighthOfTheMemorySplitOverTheDevices) {
  const long long GiB = 1LL << 30;
  const int MiB = 1 << 20;
  // 24 GiB, this machine's size: every device keeps 16 MiB.
  EXPECT_EQ(ring_buffer_bytes(24 * GiB, 10), 16 * MiB);
  // A 1 GiB board: 128 MiB over ten devices, over three, and for one alone.
  EXPECT_EQ(ring_buffer_bytes(GiB, 10), 13421772);
  EXPECT_LE(10LL * ring_buffer_bytes(GiB, 10), 128LL * MiB);
  EXPECT_EQ(ring_buffer_bytes(GiB, 3), 16 * MiB);
  EXPECT_EQ(ring_buffer_bytes(GiB, 1), 16 * MiB);
  // Half a GiB over ten devices.
  EXPECT_EQ(ring_buffer_bytes(GiB / 2, 10), 6710886);
  // Never below the library's 2 MiB, also when the size is unknown.
  EXPECT_EQ(ring_buffer_bytes(128LL * MiB, 10), 2 * MiB);
  EXPECT_EQ(ring_buffer_bytes(0, 10), 2 * MiB);
  EXPECT_EQ(ring_buffer_bytes(-1, 10), 2 * MiB);
  // No overflow on a very large machine.
  EXPECT_EQ(ring_buffer_bytes(1LL << 50, 1), 16 * MiB);
}

}  // namespace
