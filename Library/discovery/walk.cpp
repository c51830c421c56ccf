#include "discovery/walk.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "discovery/candidate.h"
#include "discovery/interface_walk.h"
#include "discovery/serial.h"

namespace ksv {
namespace {

// One walk at a time in this process. A walk holds each candidate open while it looks at it, so
// two walks at once would each find the other's current candidate taken and pass it over.
std::mutex g_walk_mutex;

// Hands each module of one walk, in walk order, to `visit`, which gives true to end the walk.
// The module's handle is closed as soon as `visit` returns, unless `visit` took it over. One
// interface list serves the whole walk and is closed when it ends, however it ends.
template <typename Visit>
void WalkModules(HidPlatform& platform, Visit&& visit) {
  const std::lock_guard<std::mutex> lock(g_walk_mutex);
  const HidInterfaces interfaces = ListHidInterfaces(platform);
  DevicePath path{};
  for (std::uint32_t index = 0; index < kInterfaceIndexBound; ++index) {
    const PathLookup lookup = FindHidInterfacePath(platform, interfaces, index, path);
    if (lookup == PathLookup::kEnd) {
      return;
    }
    if (lookup == PathLookup::kSkipped) {
      continue;
    }
    Device module = OpenCandidate(platform, path.data());
    if (module && visit(module)) {
      return;
    }
  }
}

}  // namespace

int CountModules(HidPlatform& platform) {
  int count = 0;
  WalkModules(platform, [&count](Device&) {
    ++count;
    return false;
  });
  return count;
}

int NameModule(HidPlatform& platform, int ordinal, char* serial) {
  int match = 0;
  bool named = false;
  WalkModules(platform, [&](Device& module) {
    // Only the module at the requested ordinal is asked for its serial number.
    if (match == ordinal && ReadSerialNarrow(platform, module.get(), serial)) {
      named = true;
      return true;
    }
    ++match;
    return false;
  });
  return named ? 1 : 0;
}

int OpenModuleBySerial(HidPlatform& platform, DeviceHandle* out, const char* serial) {
  bool opened = false;
  WalkModules(platform, [&](Device& module) {
    SerialText text{};
    if (!ReadSerialNarrow(platform, module.get(), text.data())) {
      return false;
    }
    // Exact, case-sensitive comparison that ends at the first zero byte of either text; the
    // terminator is part of it, so a prefix never matches a longer text.
    if (std::strcmp(text.data(), serial) != 0) {
      return false;
    }
    *out = module.release();
    opened = true;
    return true;
  });
  return opened ? 1 : 0;
}

int CloseModule(HidPlatform& platform, DeviceHandle handle) {
  if (IsNoDevice(handle)) {
    return 0;
  }
  // A handle the platform can tell is not one of its open devices is left alone.
  return platform.Close(handle) ? 1 : 0;
}

}  // namespace ksv
