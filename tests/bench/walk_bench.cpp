// Measured harness for the cost of a walk, run in the test guest (tests/bench/run-walk-bench.sh)
// with modules among other HID interfaces (two unless --modules says otherwise). For each library
// given it times the three walk forms through the exports: the count, the name of the last
// ordinal and the open of the last module (its close is not timed), and the listing an
// application makes (the count and every ordinal's name), and prints their medians. Several
// libraries are timed round by round in turn, together with the system's own calls for one walk
// (list, open and close every interface) as a yardstick of what the system itself costs.
// On Linux, --foreign-locks L has another process hold L POSIX record locks on a file of its own
// while the walks are timed, and each round also times one plain read of the whole /proc/locks.
//
//   walk_bench [--runs R] [--interfaces N] [--modules M] [--wait-seconds S] [--foreign-locks L]
//              LABEL=LIBRARY...
//
// The library is loaded from the path given (on Windows a path from / is taken as drive Z:, as
// Wine maps it). Before timing, the program waits until the system lists N HID interfaces and
// the library counts the modules. Each result is one line, each time as the median and the lowest
// and highest of the runs (ms):
//   RESULT <system> <label> <interfaces> <locks> <count> <name> <open> <list>   (3 numbers each)
//   RAW <system> <interfaces> <locks> <system calls of one walk>
//   READ <system> <interfaces> <locks> <one plain read of /proc/locks>          (Linux)
//   PAIRED <system> <label> <interfaces> <locks> <count / plain read>            (Linux, locks)
// PAIRED divides each round's count by the plain read of the same round, so that a slow moment of
// a loaded machine falls on both.
#ifdef _WIN32
#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "foreign_record_locks.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "export_table.h"

namespace ksv::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultModules = 2;
constexpr int kSerialBytes = 256;
constexpr int kSettleSeconds = 10;

#ifdef _WIN32
constexpr const char* kSystem = "wine";

// The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
constexpr GUID kHidClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

int PresentInterfaces() {
  HDEVINFO list =
      SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    return -1;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  int n = 0;
  while (SetupDiEnumDeviceInterfaces(list, nullptr, &kHidClass, static_cast<DWORD>(n), &data)) {
    ++n;
  }
  SetupDiDestroyDeviceInfoList(list);
  return n;
}

// What the system's own calls cost for one walk, without the library: one list, and for every
// interface its path, an exclusive open and a close. Gives false when nothing could be listed.
bool RawWalk() {
  HDEVINFO list =
      SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    return false;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &kHidClass, i, &data); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
      char bytes[512];
    } block;
    block.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(list, &data, &block.detail, sizeof block, nullptr,
                                          nullptr)) {
      continue;
    }
    HANDLE h = CreateFileA(block.detail.DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  return true;
}

// Wine maps the host's / to drive Z:.
std::string LibraryPath(std::string path) {
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
  }
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}
#else
constexpr const char* kSystem = "linux";

int PresentInterfaces() {
  DIR* dir = opendir("/sys/class/hidraw");
  if (dir == nullptr) {
    return 0;
  }
  int n = 0;
  while (const dirent* entry = readdir(dir)) {
    n += std::strncmp(entry->d_name, "hidraw", 6) == 0 ? 1 : 0;
  }
  closedir(dir);
  return n;
}

// What the system's own calls cost for one walk, without the library: one listing, and for every
// node an open, its IDs and a close.
bool RawWalk() {
  DIR* dir = opendir("/sys/class/hidraw");
  if (dir == nullptr) {
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "hidraw", 6) != 0) {
      continue;
    }
    const std::string node = std::string("/dev/") + entry->d_name;
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      hidraw_devinfo info{};
      ioctl(fd, HIDIOCGRAWINFO, &info);
      close(fd);
    }
  }
  closedir(dir);
  return true;
}

std::string LibraryPath(std::string path) { return path; }

constexpr std::size_t kReadChunk = 65536;

// One read of the whole of /proc/locks, as a walk that looks for holders makes it.
bool PlainLocksRead() {
  const int fd = open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::vector<char> chunk(kReadChunk);
  ssize_t got = 0;
  while ((got = read(fd, chunk.data(), chunk.size())) > 0) {
  }
  close(fd);
  return got == 0;
}
#endif

// Milliseconds one call of `body` takes; a body that fails gives -1.
template <typename Body>
double TimeMs(Body&& body) {
  const auto start = Clock::now();
  const bool ok = body();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return ok ? ms : -1;
}

// The median and the lowest and highest of the runs; -1 for each when any run failed.
struct Spread {
  double median = -1;
  double lowest = -1;
  double highest = -1;
};

Spread SpreadOf(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  if (times.empty() || times.front() < 0) {
    return {};
  }
  return {times[times.size() / 2], times.front(), times.back()};
}

void PrintSpread(const Spread& s) { std::printf(" %.3f %.3f %.3f", s.median, s.lowest, s.highest); }

// One library under measurement: its exports, the serial of its last module, and the timings of
// the three forms.
struct Subject {
  std::string label;
  std::optional<tool::LoadedLibrary> library;
  char last[kSerialBytes] = {};
  std::vector<double> times[4];  // count, name, open, list (a count and every name)
};

// The modules each library must list (--modules).
int g_modules = kDefaultModules;

bool Ready(Subject& subject, int interfaces, int wait_seconds) {
  const tool::ExportTable& api = subject.library->exports();
  // The system may list the devices some time after they were made (Wine does).
  const auto deadline = Clock::now() + std::chrono::seconds(wait_seconds);
  while ((PresentInterfaces() < interfaces || api.GetKestrovanHIDnumber() != g_modules) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const int modules = api.GetKestrovanHIDnumber();
  if (modules != g_modules) {
    std::printf("%s: %d modules listed among %d interfaces, not %d\n", subject.label.c_str(),
                modules, PresentInterfaces(), g_modules);
    return false;
  }
  if (api.GetKestrovanHIDName(g_modules - 1, subject.last) != 1) {
    std::printf("%s: the last module has no name\n", subject.label.c_str());
    return false;
  }
  return true;
}

// One timed call of each form.
void TimeOnce(Subject& subject) {
  const tool::ExportTable& api = subject.library->exports();
  subject.times[0].push_back(TimeMs([&] { return api.GetKestrovanHIDnumber() == g_modules; }));
  subject.times[1].push_back(TimeMs([&] {
    char serial[kSerialBytes];
    return api.GetKestrovanHIDName(g_modules - 1, serial) == 1 &&
           std::strcmp(serial, subject.last) == 0;
  }));
  KSVHidHandle handle = nullptr;
  subject.times[2].push_back(
      TimeMs([&] { return api.OpenKestrovanHID(&handle, subject.last) == 1; }));
  if (subject.times[2].back() >= 0) {
    api.CloseKestrovanHID(handle);
  }
  // What an application does to show the modules: the count, then each ordinal's name.
  subject.times[3].push_back(TimeMs([&] {
    const int count = api.GetKestrovanHIDnumber();
    char serial[kSerialBytes];
    bool named = count == g_modules;
    for (int ordinal = 0; ordinal < count; ++ordinal) {
      named = api.GetKestrovanHIDName(ordinal, serial) == 1 && named;
    }
    return named;
  }));
}

int Main(int argc, char** argv) {
  int runs = 7;
  int interfaces = 0;
  int wait_seconds = 0;
  int foreign_locks = 0;
  std::vector<Subject> subjects;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--interfaces" && i + 1 < argc) {
      interfaces = std::atoi(argv[++i]);
    } else if (arg == "--modules" && i + 1 < argc) {
      g_modules = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--wait-seconds" && i + 1 < argc) {
      wait_seconds = std::atoi(argv[++i]);
#ifndef _WIN32
    } else if (arg == "--foreign-locks" && i + 1 < argc) {
      foreign_locks = std::max(0, std::atoi(argv[++i]));
#endif
    } else if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      subjects.emplace_back();
      subjects.back().label = arg.substr(0, eq);
      std::string error;
      subjects.back().library = tool::LoadedLibrary::Load(LibraryPath(arg.substr(eq + 1)), error);
      if (!subjects.back().library) {
        std::printf("%s\n", error.c_str());
        return 1;
      }
    } else {
      std::printf(
          "usage: walk_bench [--runs R] [--interfaces N] [--modules M] [--wait-seconds S] "
          "[--foreign-locks L] LABEL=LIBRARY...\n");
      return 2;
    }
  }
  for (Subject& subject : subjects) {
    if (!Ready(subject, interfaces, wait_seconds)) {
      return 1;
    }
  }
  // A system that has just listed new devices may still be setting them up (Wine is): let it
  // finish before timing.
  if (wait_seconds > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(kSettleSeconds));
  }
#ifndef _WIN32
  const ForeignRecordLocks locks(foreign_locks);
  if (!locks.held()) {
    std::printf("%d foreign record locks could not be taken\n", foreign_locks);
    return 1;
  }
  std::vector<double> reads;
#endif
  // Round by round, every library in turn, so that a slow moment of the system falls on all.
  std::vector<double> raw;
  for (int round = 0; round < runs; ++round) {
    raw.push_back(TimeMs(RawWalk));
#ifndef _WIN32
    reads.push_back(TimeMs(PlainLocksRead));
#endif
    for (Subject& subject : subjects) {
      TimeOnce(subject);
    }
  }
  const int present = PresentInterfaces();
  std::printf("RAW %s %d %d", kSystem, present, foreign_locks);
  PrintSpread(SpreadOf(raw));
#ifndef _WIN32
  std::printf("\nREAD %s %d %d", kSystem, present, foreign_locks);
  PrintSpread(SpreadOf(reads));
#endif
  std::printf("\n");
  bool ok = true;
  for (const Subject& subject : subjects) {
    std::printf("RESULT %s %s %d %d", kSystem, subject.label.c_str(), present, foreign_locks);
    for (const std::vector<double>& times : subject.times) {
      const Spread spread = SpreadOf(times);
      PrintSpread(spread);
      ok = ok && spread.median >= 0;
    }
    std::printf("\n");
#ifndef _WIN32
    if (foreign_locks > 0) {
      std::vector<double> paired;
      for (std::size_t round = 0; round < reads.size(); ++round) {
        const double count = subject.times[0][round];
        paired.push_back(count < 0 || reads[round] <= 0 ? -1 : count / reads[round]);
      }
      std::printf("PAIRED %s %s %d %d", kSystem, subject.label.c_str(), present, foreign_locks);
      PrintSpread(SpreadOf(paired));
      std::printf("\n");
    }
#endif
  }
  std::fflush(stdout);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace ksv::test

int main(int argc, char** argv) { return ksv::test::Main(argc, argv); }
