// The one loop over the HID interfaces that every walk runs: the three walk forms and the tools
// that explain what a walk sees.
//
// It builds one list of the interfaces present when it starts and hands each index to a visitor,
// with the interface's path (FindHidInterfacePath) or, for tools, the reason it has none. The
// visitor examines the candidate when it wants to (InterfaceVisit::Examine), so that the mode's
// identities are applied in one place. Walks of one process run one at a time. Walks also take the
// platform's machine-wide walk lock where it has one (where candidates are opened to examine them),
// so that a walk never holds a candidate open while a walk of another process looks at it.
#pragma once

#include <cstdint>
#include <type_traits>

#include "discovery/candidate.h"
#include "discovery/interface_walk.h"
#include "platform/hid_platform.h"

namespace ksv {

// How long a walk waits for the machine-wide walk lock before it walks without it: a holder that
// hangs (in a debugger, say) must not stop every walk on the machine for good.
inline constexpr std::uint32_t kMachineWalkLockWaitMs = 2500;

// How far a visit goes.
enum class VisitScope {
  kWalk,       // indices 0..63: what the walk forms look at
  kWholeList,  // to the end of the list, past the bound (for tools)
};

struct InterfaceVisit {
  HidPlatform& platform;
  std::uint32_t index;
  bool within_bound;     // index < kInterfaceIndexBound
  PathSkip skip;         // kNone: `path` is usable
  const char* path;      // the path text; also for kTooLong; null when unreadable
  WalkHolders& holders;  // the walk's one look at the holders, taken when first needed

  // Examines the interface as a candidate under the current mode (ExamineCandidate).
  Candidate Examine(SerialQuery query, SerialUnits& units) const {
    return ExamineCandidate(platform, path, query, units, holders);
  }
};

using VisitFunction = bool (*)(void* context, const InterfaceVisit& visit);
bool VisitInterfacesWith(HidPlatform& platform, VisitScope scope, VisitFunction visit,
                         void* context);

// Hands every interface in `scope`, in list order, to visit(const InterfaceVisit&), which gives
// true to end the visit. In the walk scope, interfaces without a usable path are not handed on.
// False when the list could not be built (nothing was visited).
template <typename Visit>
bool VisitInterfaces(HidPlatform& platform, VisitScope scope, Visit&& visit) {
  return VisitInterfacesWith(
      platform, scope,
      [](void* context, const InterfaceVisit& v) -> bool {
        return (*static_cast<std::remove_reference_t<Visit>*>(context))(v);
      },
      &visit);
}

}  // namespace ksv
