#include "discovery/visit.h"

#include <mutex>

namespace ksv {
namespace {

// One walk at a time in this process. Where a walk holds each candidate open while it looks at
// it, two walks at once would each find the other's current candidate taken and pass it over.
std::mutex g_walk_mutex;

}  // namespace

bool VisitInterfacesWith(HidPlatform& platform, VisitScope scope, VisitFunction visit,
                         void* context) {
  const std::lock_guard<std::mutex> lock(g_walk_mutex);
  // Null when it is not held: the walk goes on without it, with the process-wide lock only.
  const MachineWalkLock machine_lock(platform, platform.LockMachineWalks(kMachineWalkLockWaitMs));
  const HidInterfaces interfaces = ListHidInterfaces(platform);
  if (!interfaces.list) {
    return false;
  }
  WalkHolders holders(platform);
  if (scope == VisitScope::kWalk) {
    DevicePath path;
    for (std::uint32_t index = 0;; ++index) {
      const PathLookup lookup = FindHidInterfacePath(platform, interfaces, index, path);
      if (lookup == PathLookup::kEnd) {
        break;
      }
      if (lookup == PathLookup::kFound &&
          visit(context, {platform, index, true, PathSkip::kNone, path.data(), holders})) {
        break;
      }
    }
    return true;
  }
  for (std::uint32_t index = 0;; ++index) {
    const InterfaceEntry entry = LookUpInterface(platform, interfaces, index);
    if (entry.lookup == PathLookup::kEnd) {
      break;
    }
    const InterfaceVisit v{platform,
                           index,
                           index < kInterfaceIndexBound,
                           entry.skip,
                           entry.block ? entry.block.get().text : nullptr,
                           holders};
    if (visit(context, v)) {
      break;
    }
  }
  return true;
}

}  // namespace ksv
