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
  for (std::uint32_t index = 0; scope == VisitScope::kWholeList || index < kInterfaceIndexBound;
       ++index) {
    const InterfaceEntry entry = LookUpInterface(platform, interfaces, index);
    if (entry.lookup == PathLookup::kEnd) {
      break;
    }
    if (scope == VisitScope::kWalk && entry.skip != PathSkip::kNone) {
      continue;
    }
    const InterfaceVisit v{platform, index, index < kInterfaceIndexBound, entry.skip,
                           entry.block ? entry.block.get().text : nullptr};
    if (visit(context, v)) {
      break;
    }
  }
  return true;
}

}  // namespace ksv
