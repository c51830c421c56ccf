// Deciding whether a HID interface is a module under the current module mode.
//
// Where the platform can describe an interface without opening it, the decision takes no open:
// IDs and access come from the description, and the holder from one look at the system's holders
// per walk, taken only once a candidate needs it (an accessible interface with a module's IDs).
// Where the platform can tell only the IDs, an interface with other IDs is left alone and one with
// a module's IDs is opened once, exclusively, to learn the rest. Where it can tell nothing, the
// candidate is opened so, and its IDs are read on the handle. The walk then holds that handle while
// it looks, so that no other walk or program can take the module between the check and its use.
#pragma once

#include <cstdint>
#include <optional>

#include "core/module_mode.h"
#include "platform/hid_platform.h"

namespace ksv {

// What the examination of one candidate concluded.
enum class Verdict {
  kModule,         // a module under the mode
  kOtherIds,       // it carries IDs the mode does not take
  kIdsUnreadable,  // it was opened, but its IDs cannot be read
  kAccessDenied,   // described: this user may not open it
  kHeld,           // described: an open handle elsewhere keeps it out
  kOpenRefused,    // the open was refused, or it was described as gone
};

struct Candidate {
  Verdict verdict = Verdict::kOpenRefused;
  ModeIdentities wanted{};            // the mode's identities, read once for this candidate
  bool described = false;             // decided without an open (`ids` is set unless gone)
  std::optional<DeviceIdentity> ids;  // as described or read on the handle
  std::int64_t holder = 0;            // kHeld: the holding process, when the system says
  bool serial_read = false;           // serial units were asked for and read
  Device device;                      // the open handle of a module that had to be opened
};

// What holds the system's interfaces, looked at once per walk and only when a candidate needs it:
// where other programs hold many locks, the look is the costly part of a description.
class WalkHolders {
 public:
  explicit WalkHolders(HidPlatform& platform) : platform_(platform) {}
  // The look, taken at the first call; null when it could not be had.
  HoldersToken Look() {
    if (!looked_) {
      looked_ = true;
      holders_ = Holders(platform_, platform_.ReadHolders());
    }
    return holders_.get();
  }

 private:
  HidPlatform& platform_;
  bool looked_ = false;
  Holders holders_;
};

// Whether a device with `ids` is a module for the mode whose identities are `wanted`. The one
// place where the mode's identities are compared.
bool Accepts(const ModeIdentities& wanted, DeviceIdentity ids);

// Whose serial-number string an examination reads.
enum class SerialQuery {
  kNone,
  kModule,  // a module's only
  kAny,     // any device's that shows its IDs (for tools that explain the walk)
};

// Examines the candidate at `path` under the current mode, read once. The serial-number string
// that `query` asks for goes into `units` (read on the handle when the candidate was opened), and
// `serial_read` says whether it could be read. Who holds a described module comes from `holders`.
// A handle not handed back in `device` is closed.
Candidate ExamineCandidate(HidPlatform& platform, const char* path, SerialQuery query,
                           SerialUnits& units, WalkHolders& holders);

// Opens `path` exclusively for overlapped I/O, once, and keeps the handle only when the device
// reports one of the `wanted` identities as its vendor and product IDs. An empty Device when the
// open is refused, the IDs cannot be read or they match none; a handle opened here and not
// returned is closed.
Device OpenMatchingDevice(HidPlatform& platform, const char* path, const ModeIdentities& wanted);

// Opens `path` as a module under the current mode, read once for this candidate; an empty Device
// when it is not one. The opening form opens a module that a description found with it.
Device OpenCandidate(HidPlatform& platform, const char* path);

}  // namespace ksv
