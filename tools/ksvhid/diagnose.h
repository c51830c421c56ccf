// ksvhid diagnose: every HID interface in walk order, whether it is a module under the current
// mode and, when it is not listed, why. It looks through the platform layer directly, because the
// exports report only numbers, and runs the walks' own loop over the interfaces (VisitInterfaces):
// the decision "module or not" and its reason are the library's own (ExamineCandidate); this code
// only asks the system for the details of a refused open afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace ksv::tool {

// Why an interface is not listed (or, for a module, why it cannot be named or opened).
enum class Reason {
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
  Reason reason = Reason::kNone;
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

// A reason in words, for people ("other IDs: mode 0 takes 17fe:82cd or 10c4:82cd").
std::string DescribeReason(const InterfaceReport& report);
// A reason as a stable key, for scripts ("other_ids").
const char* ReasonKey(Reason reason);

// The report for people, or one JSON object for scripts, of interfaces seen in the current mode.
std::string FormatDiagnosis(const std::vector<InterfaceReport>& reports, bool json);

// The command: selects `mode`, looks, prints; 0 when it could look, 1 when it could not list the
// interfaces at all.
int RunDiagnose(HidPlatform& platform, int mode, bool json);

// --- What the system adds (diagnose_linux.cpp, diagnose_windows.cpp) ---------------------------

// The command of a process on this system (Linux: from /proc); empty elsewhere.
std::string CommandOf(long long pid);
// What a user can do when access is denied on this system; empty when there is no advice.
const char* AccessDeniedAdvice();

}  // namespace ksv::tool
