// The device suite over KSVHidApi.dll, loaded as an application loads it. The devices exist only
// in the Linux test guest, so this runs under Wine there, whose HID stack sits on the guest's
// hidraw nodes (tests/wine-guest/run-device-suite.sh).
//
// On the uhid bed it first checks how a walk opens the interfaces (walk_opens_windows.cpp), and
// at the end KSVHidWatch.dll with CYCLES modules that come and go (none: 0).
//
//   device_suite.exe [--wait-seconds N] [--watch-cycles CYCLES]
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "device_suite.h"
#include "walk_opens_windows.h"
#include "watch_check_windows.h"
#include "wine_check.h"

namespace {

// Wine's version text, or null on Windows itself.
const char* WineVersion() {
  using Fn = const char*(CDECL*)(void);
  const auto get = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
  return get != nullptr ? get() : nullptr;
}

// What each mode lists: shown when the wait did not see every module.
void PrintListing(const ksv::test::Exports& api) {
  for (int mode = 0; mode <= 3; ++mode) {
    api.SetModuleMode(mode);
    const int count = api.GetKestrovanHIDnumber();
    std::printf("mode %d lists %d:", mode, count);
    for (int ordinal = 0; ordinal < count; ++ordinal) {
      char text[256];
      std::printf(" %s", api.GetKestrovanHIDName(ordinal, text) == 1 ? text : "<unreadable>");
    }
    std::printf("\n");
  }
  api.SetModuleMode(0);
}

// Sends one line to ksv-virtual-module through its control FIFO (a Linux path, reached through
// Wine's drive Z:).
bool SendControl(const std::string& command) {
  std::string path = std::string("Z:") + ksv::test::ControlChannel();
  for (char& c : path) {
    c = c == '/' ? '\\' : c;
  }
  const HANDLE fifo = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (fifo == INVALID_HANDLE_VALUE) {
    std::printf("%s: cannot open %s (error %lu)\n", command.c_str(), path.c_str(), GetLastError());
    return false;
  }
  const std::string line = command + "\n";
  DWORD written = 0;
  const BOOL ok = WriteFile(fifo, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(fifo);
  return ok && written == line.size();
}

}  // namespace

int main(int argc, char** argv) {
  int wait_seconds = 90;
  int watch_cycles = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--wait-seconds") == 0) {
      wait_seconds = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--watch-cycles") == 0) {
      watch_cycles = std::atoi(argv[i + 1]);
    }
  }
  ksv::test::LoadedDll loaded;
  if (!ksv::test::LoadDll(loaded)) {
    return ksv::test::Finish("device_suite (windows)");
  }
  const ksv::test::Exports& api = loaded;

  ksv::test::Options options;
  options.bed = ksv::test::BedFromEnvironment();
  if (*ksv::test::ControlChannel() != '\0') {
    options.unplug = [](const char* id) { return SendControl(std::string("unplug ") + id); };
  }
  // The walk follows the system's interface list, which is not in the order the devices were made.
  options.walk_order_is_creation_order = false;
  if (const char* wine = WineVersion()) {
    std::printf("running under Wine %s; where it differs from Windows:\n", wine);
    options.exclusive_opens = false;
    std::printf(
        "- share mode 0 is not enforced on HID devices (a second open succeeds): "
        "exclusivity is not checked\n");
    options.absent_serial_text = "0000";
    std::printf("- a device without a serial number reports \"0000\"\n");
  }

  if (!ksv::test::WaitForModules(api, options, wait_seconds)) {
    PrintListing(api);
    return ksv::test::Finish("device_suite (windows)");
  }
  // Only the uhid bed has interfaces of other devices beside its modules.
  if (options.bed == ksv::test::kBedUhid) {
    ksv::test::CheckWalkOpens(loaded.module, api);
  }
  ksv::test::RunScenarios(api, options);
  std::printf("round trip: median %.3f ms\n", ksv::test::MedianRoundTripMs(api, 50));
  // uhid makes and removes modules at once; the USB beds have no room for more.
  if (watch_cycles > 0 && options.bed == ksv::test::kBedUhid && options.unplug) {
    ksv::test::CheckWatch(ksv::test::ModuleTexts(0, options), watch_cycles, SendControl);
  }
  return ksv::test::Finish("device_suite (windows)");
}
