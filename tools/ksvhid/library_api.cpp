// The table of the library's exports, called as any application calls them.
#include "module_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#endif

namespace ksvhid {
namespace {

// The path of the library file that the exports were loaded from.
std::string LibraryLocation() {
#ifdef _WIN32
  HMODULE module = GetModuleHandleA("KSVHidApi.dll");
  char path[MAX_PATH + 1] = {};
  if (module == nullptr || GetModuleFileNameA(module, path, MAX_PATH) == 0) {
    return "KSVHidApi.dll (path unknown)";
  }
  return path;
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&GetKestrovanHIDversion), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "libKSVHidApi.so (path unknown)";
  }
  // The file itself, not the links that led to it: its name carries the full version.
  char real[PATH_MAX] = {};
  if (realpath(info.dli_fname, real) == nullptr) {
    return info.dli_fname;
  }
  return real;
#endif
}

}  // namespace

const ModuleApi& LibraryApi() {
  static const ModuleApi api{
      GetKestrovanHIDnumber, GetKestrovanHIDName,    OpenKestrovanHID, SendReceiveKestrovanHID,
      CloseKestrovanHID,     GetKestrovanHIDversion, SetModuleMode,    LibraryLocation,
  };
  return api;
}

}  // namespace ksvhid
