// The seven calls ksvhid makes, as one table: either the library's exports, or the same discovery
// and exchange logic over a built-in set of simulated modules.
#pragma once

#include <string>

#include "KSVHidApi.h"

namespace ksvhid {

struct ModuleApi {
  int(KSVHID_CALL* count)();
  int(KSVHID_CALL* name)(int ordinal, char* serial);
  int(KSVHID_CALL* open)(KSVHidHandle* handle, const char* serial);
  int(KSVHID_CALL* send_receive)(KSVHidHandle handle, const char* command, char* reply);
  int(KSVHID_CALL* close)(KSVHidHandle handle);
  int(KSVHID_CALL* version)(int* major, int* minor, int* build);
  int(KSVHID_CALL* set_mode)(int mode);
  // Where the calls go, as `ksvhid version` shows it: the library file's path, or a description.
  std::string (*location)();
};

// The exports of KSVHidApi.dll / libKSVHidApi.so, which ksvhid is linked against.
const ModuleApi& LibraryApi();

// The library's logic over simulated modules that live in this process (see simulated_modules.h).
const ModuleApi& SimulatedApi();

}  // namespace ksvhid
