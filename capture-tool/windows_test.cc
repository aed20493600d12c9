// The Windows build under wine, beside the scripted capture library built
// as its wpcap.dll: exact console output (CR LF line ends), exit statuses
// and capture files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform.h"
#include "quorvane.h"
#include "test_support.h"

namespace {

const char WINE[] = "/usr/lib/wine/wine64";
const char WINESERVER[] = "/usr/lib/wine/wineserver64";

std::string windows_build(const char* name) {
  return std::string(QUORVANE_SOURCE_DIR) + "/build-windows/" + name;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Z:\ is the Linux root under wine.
std::string dos_path(const std::string& path) {
  std::string dos = "Z:" + path;
  for (char& c : dos) {
    if (c == '/') c = '\\';
  }
  return dos;
}

class Wine : public ::testing::Test {
 protected:
  static std::string prefix() { return std::string(QUORVANE_BUILD_DIR) + "/wine"; }

  static void SetUpTestSuite() {
    if (!prerequisites_met()) return;
    shell("WINEDEBUG=-all WINEPREFIX=" + prefix() + " " + WINE + " wineboot -i >/dev/null 2>&1");
    shell(std::string("WINEPREFIX=") + prefix() + " " + WINESERVER + " -w");
  }

  static void TearDownTestSuite() {
    if (!prerequisites_met()) return;
    system((std::string("WINEPREFIX=") + prefix() + " " + WINESERVER + " -k 2>/dev/null").c_str());
    system((std::string("WINEPREFIX=") + prefix() + " " + WINESERVER + " -w").c_str());
  }

  static bool prerequisites_met() {
    struct stat st;
    return stat(WINE, &st) == 0 && stat(windows_build("quorvane.exe").c_str(), &st) == 0 &&
           stat(windows_build("fake/wpcap.dll").c_str(), &st) == 0;
  }

  void SetUp() override {
    if (prerequisites_met()) return;
    const char* ci = getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
      FAIL() << "wine64 and the Windows build (make windows) are needed";
    }
    GTEST_SKIP() << "needs wine64 and the Windows build (make windows)";
  }

  // A directory with quorvane.exe and the fake wpcap.dll side by side.  Its
  // name has a blank, so wine quotes the program's path on the command
  // line it builds.
  static std::string run_dir() {
    std::string dir = make_temp_dir() + "/run dir";
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    shell("cp " + windows_build("quorvane.exe") + " " + windows_build("fake/wpcap.dll") + " '" +
          dir + "'");
    return dir;
  }

  static RunResult run_in(const std::string& dir, const std::string& script,
                          const std::vector<std::string>& args) {
    write_file(dir + "/script", script);
    RunOptions options;
    options.dir = dir;
    options.env = {"WINEPREFIX=" + prefix(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=wpcap=n",
                   "QUORVANE_FAKE_SCRIPT=" + dos_path(dir + "/script"),
                   "QUORVANE_FAKE_LOG=" + dos_path(dir + "/log")};
    std::vector<std::string> argv = {WINE, "quorvane.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, options);
  }
};

std::string banner(const std::string& dir) {
  return "Quorvane Version 1.0. To configure capture time ( in second ), run it as " +
         dos_path(dir) + "\\quorvane.exe [duration]\n\n";
}

TEST_F(Wine, FailurePathsEndWith255) {
  const std::string dir = run_dir();
  const std::string head = crlf(banner(dir) + "Retrieving adapter list...\n");
  RunResult failed = run_in(dir, "findalldevs-error no driver\n", {});
  EXPECT_EQ(failed.out, head);
  EXPECT_EQ(failed.err, crlf("Error in pcap_findalldevs: no driver\n"));
  EXPECT_EQ(failed.status, 255);

  RunResult empty = run_in(dir, "", {"30"});
  EXPECT_EQ(empty.out,
            head + crlf("\n\xC7\xEB\xC8\xB7\xC8\xCF\xC4\xFA\xB0\xB2\xD7\xB0\xC1\xCBWinPcap"
                        "\xA1\xA3No interfaces found! Make sure WinPcap is installed.\n"));
  EXPECT_EQ(empty.err, "");
  EXPECT_EQ(empty.status, 255);

  RunResult none = run_in(dir, "device x|\nopen-fails x\n", {});
  EXPECT_EQ(none.out, head + crlf("1. x ()\n\nOpening adapters...\n"));
  EXPECT_EQ(none.err, crlf("\nUnable to open this adapter. x is not supported by WinPcap\n"
                           "\nUnable to open any adapter. None is supported by WinPcap\n"));
  EXPECT_EQ(none.status, 255);
}

// Slot 2 (device c) finds a directory where its file should be.
TEST_F(Wine, CapturesPastAFailedOpenAndAFailedFile) {
  const std::string dir = run_dir();
  ASSERT_EQ(mkdir((dir + "/brovel2.cap").c_str(), 0755), 0);
  RunResult run = run_in(dir,
                         "device a|Fake A\ndevice x\nopen-fails x\ndevice b\ndevice c\n"
                         "linktype b 113\npackets a 0 3 60\npackets b 0 2 1400\n"
                         "packets c 0 4 60\n",
                         {"5"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            crlf(banner(dir) +
                 "Retrieving adapter list...\n1. a (Fake A)\n2. x (No description available)\n"
                 "3. b (No description available)\n4. c (No description available)\n"
                 "\nOpening adapters...\n"
                 "\nWill capature for 5 seconds. Print one '|' every second. Print one '.' for "
                 "every packet captured.\n"
                 "Ctrl+c to stop it and you will have captured data up to that point.\n"
                 ".....|||||"));
  EXPECT_EQ(run.err, crlf("Open adapter: a.\n"
                          "\nUnable to open this adapter. x is not supported by WinPcap\n"
                          "Open adapter: b.\nOpen adapter: c.\nOpen 3 adapters.\n"
                          "\nError opening output file for 2 device\n"));
  CaptureFile a = read_capture(dir + "/brovel0.cap");
  CaptureFile b = read_capture(dir + "/brovel1.cap");
  EXPECT_TRUE(a.complete && b.complete);
  EXPECT_EQ(a.linktype, 1);
  EXPECT_EQ(b.linktype, 113);
  EXPECT_EQ(a.snaplen, 65536);
  ASSERT_EQ(a.packets.size(), 3u);
  ASSERT_EQ(b.packets.size(), 2u);
  EXPECT_EQ(b.packets[1].size(), 1400u);

  // The kernel buffers follow the machine's memory as Windows reports it
  // (to within its rounding), split over the four devices tried.
  const std::string log = read_file(dir + "/log");
  const size_t at = log.find("open a ");
  ASSERT_NE(at, std::string::npos) << log;
  const size_t buffer = log.find(" buffer=", at);
  ASSERT_NE(buffer, std::string::npos) << log;
  EXPECT_NEAR(std::stod(log.substr(buffer + 8)), ring_buffer_bytes(physical_memory_bytes(), 4),
              1 << 20);
}

// Nothing but the system's DLLs and the capture library.
TEST_F(Wine, ToolImportsOnlySystemDllsAndWpcap) {
  RunResult dump = run_program({"x86_64-w64-mingw32-objdump", "-p", windows_build("quorvane.exe")});
  ASSERT_EQ(dump.status, 0) << dump.err;
  std::vector<std::string> dlls;
  for (const std::string& line : lines_of(dump.out)) {
    const size_t at = line.find("DLL Name: ");
    if (at != std::string::npos) dlls.push_back(line.substr(at + 10));
  }
  EXPECT_EQ(dlls,
            (std::vector<std::string>{"ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll", "wpcap.dll"}));
}

}  // namespace
