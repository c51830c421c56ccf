// Measured harness for the cost of a walk, run in the test guest (tests/bench/run-walk-bench.sh)
// with two modules among other HID interfaces. For each library given it times the three walk
// forms through the exports: the count, the name of the last ordinal and the open of the last
// module (its close is not timed), and prints their medians.
//
//   walk_bench [--runs R] [--interfaces N] [--wait-seconds S] LABEL=LIBRARY...
//
// The library is loaded from the path given (on Windows a path from / is taken as drive Z:, as
// Wine maps it). Before timing, the program waits until the system lists N HID interfaces and
// the library counts two modules. Each result is one line:
//   RESULT <system> <label> <interfaces> <count ms> <name ms> <open ms>
#ifdef _WIN32
#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KSVHidApi.h"

namespace ksv::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kModules = 2;
constexpr int kSerialBytes = 256;

struct Exports {
  int(KSVHID_CALL* number)(void) = nullptr;
  int(KSVHID_CALL* name)(int, char*) = nullptr;
  int(KSVHID_CALL* open)(KSVHidHandle*, const char*) = nullptr;
  int(KSVHID_CALL* close)(KSVHidHandle) = nullptr;
};

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

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool Load(std::string path, Exports& api) {
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
  }
  std::replace(path.begin(), path.end(), '/', '\\');
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    std::printf("cannot load %s: error %lu\n", path.c_str(), GetLastError());
    return false;
  }
  Resolve(module, "GetKestrovanHIDnumber", api.number);
  Resolve(module, "GetKestrovanHIDName", api.name);
  Resolve(module, "OpenKestrovanHID", api.open);
  Resolve(module, "CloseKestrovanHID", api.close);
  return true;
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

template <typename Fn>
void Resolve(void* module, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(module, name));
}

bool Load(const std::string& path, Exports& api) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("cannot load %s: %s\n", path.c_str(), dlerror());
    return false;
  }
  Resolve(module, "GetKestrovanHIDnumber", api.number);
  Resolve(module, "GetKestrovanHIDName", api.name);
  Resolve(module, "OpenKestrovanHID", api.open);
  Resolve(module, "CloseKestrovanHID", api.close);
  return true;
}
#endif

// Median in milliseconds of `runs` timings of `body`; a body that fails makes the result -1.
template <typename Body>
double MedianMs(int runs, Body&& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (!body()) {
      return -1;
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

bool Measure(const std::string& label, const std::string& path, int runs, int interfaces,
             int wait_seconds) {
  Exports api;
  if (!Load(path, api)) {
    return false;
  }
  if (api.number == nullptr || api.name == nullptr || api.open == nullptr || api.close == nullptr) {
    std::printf("%s: an export is missing\n", path.c_str());
    return false;
  }
  // The system may list the devices some time after they were made (Wine does).
  const auto deadline = Clock::now() + std::chrono::seconds(wait_seconds);
  while ((PresentInterfaces() < interfaces || api.number() != kModules) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const int present = PresentInterfaces();
  const int modules = api.number();
  if (modules != kModules) {
    std::printf("%s: %d modules listed among %d interfaces, not %d\n", label.c_str(), modules,
                present, kModules);
    return false;
  }
  char last[kSerialBytes] = {};
  if (api.name(kModules - 1, last) != 1) {
    std::printf("%s: the last module has no name\n", label.c_str());
    return false;
  }
  const double count_ms = MedianMs(runs, [&] { return api.number() == kModules; });
  const double name_ms = MedianMs(runs, [&] {
    char serial[kSerialBytes];
    return api.name(kModules - 1, serial) == 1 && std::strcmp(serial, last) == 0;
  });
  const double open_ms = MedianMs(runs, [&] {
    KSVHidHandle handle = nullptr;
    if (api.open(&handle, last) != 1) {
      return false;
    }
    api.close(handle);
    return true;
  });
  std::printf("RESULT %s %s %d %.3f %.3f %.3f\n", kSystem, label.c_str(), present, count_ms,
              name_ms, open_ms);
  return count_ms >= 0 && name_ms >= 0 && open_ms >= 0;
}

int Main(int argc, char** argv) {
  int runs = 7;
  int interfaces = 0;
  int wait_seconds = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--interfaces" && i + 1 < argc) {
      interfaces = std::atoi(argv[++i]);
    } else if (arg == "--wait-seconds" && i + 1 < argc) {
      wait_seconds = std::atoi(argv[++i]);
    } else if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      ok = Measure(arg.substr(0, eq), arg.substr(eq + 1), runs, interfaces, wait_seconds) && ok;
      wait_seconds = std::min(wait_seconds, 5);  // the devices were listed for the first library
    } else {
      std::printf(
          "usage: walk_bench [--runs R] [--interfaces N] [--wait-seconds S] LABEL=LIBRARY...\n");
      return 2;
    }
  }
  std::fflush(stdout);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace ksv::test

int main(int argc, char** argv) { return ksv::test::Main(argc, argv); }
