// Why each HID interface is or is not a module: the logic of the diagnose companion.
//
// It runs the walks' own loop over the interfaces (VisitInterfaces), over the whole list, and the
// walks' own examination of each candidate (InterfaceVisit::Examine): the decision "module or not"
// and its reason are the walk's. Only for an open that was refused does it ask the system
// afterwards why, by opening the interface once more the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace ksv {

// Why an interface is not listed (or, for a module, why it cannot be named or opened).
enum class UnlistedReason {
  kNone,              // a module, listed with its serial number
  kSerialUnreadable,  // a module, counted, but it can be neither named nor opened
  kOtherIds,          // its vendor:product is not one the mode takes
  kIdsUnreadable,     // it opens, but its vendor and product IDs cannot be read
  kAccessDenied,      // this user may not open it
  kInUse,             // another program holds it open
  kOpenRefused,       // the open fails for another reason (`open_error`)
  kBusyMoment,        // refused while the walk looked, opens now: look again
  kPathUnreadable,    // its list entry or device path cannot be had
  kPathTooLong,       // a device path longer than the walk takes (kDevicePathUnits)
  kPastBound,         // beyond the 64th HID interface: the walk never reaches it
};

// The process holding a device node, as far as the system shows it.
struct Holder {
  long long pid = 0;
  std::string command;  // its command line, or its name; empty when it cannot be read
};

struct InterfaceReport {
  std::uint32_t index = 0;
  std::string path;                   // UTF-8
  std::optional<DeviceIdentity> ids;  // nothing when the device could not be opened or read
  std::optional<std::string> serial;  // the serial number text, as the library narrows it
  bool module = false;                // counted by the walk in this mode
  UnlistedReason reason = UnlistedReason::kNone;
  std::uint32_t open_error = 0;  // kAccessDenied, kInUse, kOpenRefused: the Windows-meaning error
  std::optional<Holder> holder;  // kInUse: who holds it, when that can be found
};

// The command line of a process, or its name; empty where the system does not say.
using CommandFinder = std::string (*)(long long pid);

// Looks at every HID interface the platform lists now, in walk order, under the current module
// mode. Nothing when the interfaces cannot be listed at all. Every handle it opens is closed
// before it returns.
std::optional<std::vector<InterfaceReport>> DiagnoseInterfaces(HidPlatform& platform,
                                                               CommandFinder command_of);

// The command of a process on this system (Linux: from /proc); empty where the system does not
// say (holder_command_linux.cpp, holder_command_windows.cpp).
std::string HolderCommand(long long pid);

}  // namespace ksv
