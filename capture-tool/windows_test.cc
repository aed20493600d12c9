// The Windows build under wine, beside the scripted capture library built
// as its wpcap.dll: exact console output (CR LF line ends), exit statuses
// and capture files.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
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
           stat(windows_build("fake/wpcap.dll").c_str(), &st) == 0 &&
           stat(windows_build("fake-winpcap/wpcap.dll").c_str(), &st) == 0;
  }

  void SetUp() override {
    if (prerequisites_met()) return;
    const char* ci = getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
      FAIL() << "wine64 and the Windows build (make windows) are needed";
    }
    GTEST_SKIP() << "needs wine64 and the Windows build (make windows)";
  }

  // Where Npcap's installer puts wpcap.dll by default.
  static std::string npcap_folder() { return prefix() + "/drive_c/windows/system32/Npcap"; }

  // A directory with quorvane.exe and, when `library` names one of the
  // scripted library's builds (fake, fake-winpcap), its wpcap.dll beside
  // it.  Its name has a blank, so wine quotes the program's path on the
  // command line it builds.
  static std::string run_dir(const char* library = "fake") {
    std::string dir = make_temp_dir() + "/run dir";
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    shell("cp " + windows_build("quorvane.exe") + " '" + dir + "'");
    if (library != nullptr) {
      shell("cp " + windows_build(library) + "/wpcap.dll '" + dir + "'");
    }
    return dir;
  }

  // Runs the program in dir on the script named `name` there, written with
  // `script`; its calls are logged to name.log.
  static RunResult run_in(const std::string& dir, const std::string& script,
                          const std::vector<std::string>& args, RunOptions options = RunOptions(),
                          const std::string& name = "script") {
    write_file(dir + "/" + name, script);
    options.dir = dir;
    options.env.push_back("WINEPREFIX=" + prefix());
    options.env.push_back("WINEDEBUG=-all");
    options.env.push_back("QUORVANE_FAKE_SCRIPT=" + dos_path(dir + "/" + name));
    options.env.push_back("QUORVANE_FAKE_LOG=" + dos_path(dir + "/" + name + ".log"));
    bool overridden = false;
    for (const std::string& e : options.env) overridden |= e.rfind("WINEDLLOVERRIDES=", 0) == 0;
    if (!overridden) options.env.push_back("WINEDLLOVERRIDES=wpcap=n");
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

  // No capture library installed at all: the same failure, naming what to
  // install, where the device list would have been read.
  const std::string bare = run_dir(nullptr);
  RunOptions no_library;
  no_library.env = {"WINEDLLOVERRIDES=wpcap=d"};
  RunResult missing = run_in(bare, "device a\n", {}, no_library);
  EXPECT_EQ(missing.out, crlf(banner(bare) + "Retrieving adapter list...\n"));
  EXPECT_EQ(missing.err, crlf("Error in pcap_findalldevs: wpcap.dll cannot be loaded: install "
                              "Npcap (or WinPcap) to capture\n"));
  EXPECT_EQ(missing.status, 255);
}

// The library's folders as wine's loader searched them for wpcap.dll, from
// its trace on stderr, lower case, without trailing backslashes.
std::vector<std::string> wpcap_search_path(const std::string& trace) {
  const std::string looking = "looking for L\"wpcap.dll\" in L\"";
  const size_t at = trace.find(looking);
  if (at == std::string::npos) return {};
  const size_t start = at + looking.size();
  std::vector<std::string> folders;
  std::string folder;
  for (size_t i = start; i <= trace.size(); ++i) {
    if (i == trace.size() || trace[i] == ';' || trace[i] == '"') {
      while (!folder.empty() && folder.back() == '\\') folder.pop_back();
      folders.push_back(folder);
      folder.clear();
      if (i == trace.size() || trace[i] == '"') break;
    } else if (trace.compare(i, 2, "\\\\") == 0) {
      folder += '\\';
      ++i;
    } else {
      folder += static_cast<char>(tolower(static_cast<unsigned char>(trace[i])));
    }
  }
  return folders;
}

// A wpcap.dll planted in the working directory or in a folder on PATH is
// never loaded, also run as an administrator: the library is looked for
// beside the program, in Npcap's folder (when it exists) and in System32,
// in that order, and nowhere else.  Wine's own wpcap.dll in System32 ends
// its search before it would reach a planted one, so what is checked is
// the search path its loader was given, as its trace shows it.
TEST_F(Wine, LibraryIsLookedForOnlyBesideTheProgramInNpcapAndSystem32) {
  const std::string program = run_dir(nullptr);
  const std::string planted = make_temp_dir();
  const std::string on_path = make_temp_dir();
  for (const std::string& dir : {planted, on_path})
    shell("cp " + windows_build("fake/wpcap.dll") + " '" + dir + "'");
  write_file(planted + "/script", "device a\npackets a 0 2 60\n");
  std::string program_folder = dos_path(program);
  for (char& c : program_folder) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (bool npcap_installed : {false, true}) {
    SCOPED_TRACE(npcap_installed ? "with System32\\Npcap" : "without System32\\Npcap");
    if (npcap_installed) shell("mkdir -p '" + npcap_folder() + "'");
    RunOptions options;
    options.dir = planted;
    options.env = {"WINEPREFIX=" + prefix(), "WINEDEBUG=+module", "WINEDLLOVERRIDES=wpcap=n",
                   "WINEPATH=" + dos_path(on_path),
                   "QUORVANE_FAKE_SCRIPT=" + dos_path(planted + "/script")};
    RunResult run = run_program({WINE, dos_path(program + "/quorvane.exe"), "5"}, options);
    if (npcap_installed) shell("rm -r '" + npcap_folder() + "'");
    EXPECT_EQ(run.status, 255);
    EXPECT_NE(run.err.find("wpcap.dll cannot be loaded"), std::string::npos);
    EXPECT_FALSE(exists(planted + "/brovel0.cap")) << "the planted library was loaded";
    std::vector<std::string> expected = {program_folder, "c:\\windows\\system32"};
    if (npcap_installed) expected.insert(expected.begin() + 1, "c:\\windows\\system32\\npcap");
    EXPECT_EQ(wpcap_search_path(run.err), expected);
  }
}

// The same run with the library as users install it: beside the program,
// only in System32\Npcap (Npcap's default), and as WinPcap 4.1.3 (without
// pcap_dump_hopen).  Slot 2 (device c) finds a directory where its file
// should be.
TEST_F(Wine, CapturesPastAFailedOpenAndAFailedFile) {
  const struct {
    const char* install;
    const char* beside;  // the library's build beside the program, if any
    bool in_npcap_folder;
  } installs[] = {{"beside the program", "fake", false},
                  {"in System32\\Npcap only", nullptr, true},
                  {"WinPcap 4.1.3", "fake-winpcap", false}};
  for (const auto& install : installs) {
    SCOPED_TRACE(install.install);
    if (install.in_npcap_folder) {
      shell("mkdir -p '" + npcap_folder() + "' && cp " + windows_build("fake/wpcap.dll") + " '" +
            npcap_folder() + "'");
    }
    const std::string dir = run_dir(install.beside);
    ASSERT_EQ(mkdir((dir + "/brovel2.cap").c_str(), 0755), 0);
    RunResult run = run_in(dir,
                           "device a|Fake A\ndevice x\nopen-fails x\ndevice b\ndevice c\n"
                           "linktype b 113\npackets a 0 3 60\npackets b 0 2 1400\n"
                           "packets c 0 4 60\n",
                           {"5"});
    if (install.in_npcap_folder) shell("rm -r '" + npcap_folder() + "'");
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
    const std::string log = read_file(dir + "/script.log");
    const size_t at = log.find("open a ");
    ASSERT_NE(at, std::string::npos) << log;
    const size_t buffer = log.find(" buffer=", at);
    ASSERT_NE(buffer, std::string::npos) << log;
    EXPECT_NEAR(std::stod(log.substr(buffer + 8)), ring_buffer_bytes(physical_memory_bytes(), 4),
                1 << 20);
  }
}

// A second run started in the same directory while the first one records:
// the file the first run holds is reported and left alone, and holds exactly
// the first run's own records, in order; the second run records its other
// slot.  Each run's packets have a length of their own.
TEST_F(Wine, SecondRunLeavesTheFirstRunsFileWhole) {
  const std::string dir = run_dir();
  std::string first_script = "device a\n", second_script = "device b\ndevice c\n";
  for (int tick = 0; tick < 80; ++tick)
    first_script += "packets a " + std::to_string(tick) + " 1 60\n";
  for (int tick = 0; tick < 40; ++tick) {
    second_script += "packets b " + std::to_string(tick) + " 1 61\n";
    second_script += "packets c " + std::to_string(tick) + " 1 62\n";
  }
  RunResult first, second;
  std::thread first_run([&] { first = run_in(dir, first_script, {"10"}, RunOptions(), "first"); });
  wait_for_capture_start(dir);
  usleep(800000);
  second = run_in(dir, second_script, {"5"}, RunOptions(), "second");
  first_run.join();

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err.find("Error"), std::string::npos) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find(crlf("\nError opening output file for 0 device\n")), std::string::npos)
      << second.err;
  CaptureFile a = read_capture(dir + "/brovel0.cap");
  EXPECT_TRUE(a.complete);
  EXPECT_EQ(a.packets.size(), 80u);
  for (size_t i = 0; i < a.packets.size(); ++i) {
    ASSERT_EQ(a.packets[i].size(), 60u) << i;
    EXPECT_EQ(static_cast<unsigned char>(a.packets[i][0]), i + 1) << "record " << i;
  }
  CaptureFile c = read_capture(dir + "/brovel1.cap");
  EXPECT_TRUE(c.complete);
  EXPECT_GE(c.packets.size(), 1u);
  for (const std::string& packet : c.packets) EXPECT_EQ(packet.size(), 62u);
}

// Under wine a SIGINT reaches the console control handlers as CTRL_C_EVENT:
// the run ends at once, and every mark it showed is a record in its file.
// (Wine's default handler then ends the process with status 0, where
// Windows gives STATUS_CONTROL_C_EXIT.)  Enough traffic that the marks fill
// stdout's buffer many times over before the interrupt.
TEST_F(Wine, CtrlCEndsTheRunWithEveryMarkShownInItsFile) {
  const std::string dir = run_dir();
  std::string script = "device a\n";
  for (int tick = 0; tick < 300; ++tick)
    script += "packets a " + std::to_string(tick) + " 500 200\n";
  RunOptions options;
  options.signal = SIGINT;
  options.signal_after_s = 5;
  RunResult run = run_in(dir, script, {"30"}, options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_LT(run.seconds, 8) << "the run went on after Ctrl+C";
  // The marks follow the announcement's last line end, a CR LF here.
  const std::string end = crlf("point.\n");
  const size_t marks = run.out.find(end);
  ASSERT_NE(marks, std::string::npos) << run.out;
  const int shown = count_of(run.out.substr(marks + end.size()), '.');
  CaptureFile a = read_capture(dir + "/brovel0.cap");
  EXPECT_TRUE(a.complete);
  EXPECT_GT(shown, 0);
  EXPECT_GE(a.packets.size(), static_cast<size_t>(shown));
}

// Nothing but the system's DLLs at load time: the capture library is
// delay-loaded, so a machine without it still runs the program far enough
// to say so.
TEST_F(Wine, ToolImportsOnlySystemDlls) {
  RunResult dump = run_program({"x86_64-w64-mingw32-objdump", "-p", windows_build("quorvane.exe")});
  ASSERT_EQ(dump.status, 0) << dump.err;
  std::vector<std::string> dlls;
  for (const std::string& line : lines_of(dump.out)) {
    const size_t at = line.find("DLL Name: ");
    if (at != std::string::npos) dlls.push_back(line.substr(at + 10));
  }
  EXPECT_EQ(dlls, (std::vector<std::string>{"ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll"}));
}

}  // namespace
