// The device suite over KSVHidApi.dll under Wine, loaded as an application loads it.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "device_suite.h"

namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (out == nullptr) {
    std::printf("FAILED: export %s not found\n", name);
    ++ksvdev::g_failures;
  }
  return out != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int wait_seconds = 90;
  if (argc > 2 && std::strcmp(argv[1], "--wait-seconds") == 0) {
    wait_seconds = std::atoi(argv[2]);
  }
  HMODULE module = LoadLibraryA("KSVHidApi.dll");
  if (module == nullptr) {
    std::printf("FAILED: LoadLibraryA(KSVHidApi.dll): error %lu\n", GetLastError());
    return 1;
  }
  ksvdev::Api api{};
  bool ok = Resolve(module, "GetKestrovanHIDnumber", api.GetKestrovanHIDnumber);
  ok = Resolve(module, "GetKestrovanHIDName", api.GetKestrovanHIDName) && ok;
  ok = Resolve(module, "OpenKestrovanHID", api.OpenKestrovanHID) && ok;
  ok = Resolve(module, "SendReceiveKestrovanHID", api.SendReceiveKestrovanHID) && ok;
  ok = Resolve(module, "CloseKestrovanHID", api.CloseKestrovanHID) && ok;
  ok = Resolve(module, "GetKestrovanHIDversion", api.GetKestrovanHIDversion) && ok;
  ok = Resolve(module, "SetModuleMode", api.SetModuleMode) && ok;
  if (!ok || !ksvdev::WaitForModules(api, wait_seconds)) {
    return ksvdev::Finish("device_suite (windows)");
  }
  ksvdev::Options options;
  options.walk_order_is_creation_order = false;
  options.exclusive_opens = false;
  options.short_reports_padded = std::getenv("KSV_SHORT_REPORTS_PADDED") != nullptr;
  ksvdev::RunScenarios(api, options);
  std::printf("round trip: median %.3f ms\n", ksvdev::MedianRoundTripMs(api, 50));
  return ksvdev::Finish("device_suite (windows)");
}
