// The walk over present HID interfaces, in the three forms behind the enumeration exports.
//
// Each call walks afresh over one list of the HID interfaces present when it starts: indices 0,
// 1, 2, ... of that list until its end (never beyond 63). An interface whose path cannot be had or
// does not fit is passed over; each other path is examined as a candidate under the current
// module mode (candidate.h). A device that arrives or leaves during the walk therefore never
// makes a module count twice. A module held open by anyone (an earlier opening form included) is
// not a module for the walk until it is closed.
//
// Where the platform describes interfaces without opening them (Linux), counting and naming open
// nothing, and the opening form opens only the module whose serial number matches, checking its
// IDs and serial number again on the handle. Where it cannot (Windows), each candidate is opened
// once to examine it: at most one module handle is open at a time, and every handle the walk
// opens is closed before it moves on, except the one the opening form hands back; walks then take
// the machine-wide walk lock, so that walks in other processes do not hide modules from each
// other. The naming form ends at the module it was asked for.
#pragma once

#include "platform/hid_platform.h"

namespace ksv {

// Number of modules one walk finds; a module whose serial number cannot be read counts too.
int CountModules(HidPlatform& platform);

// Serial number text of the module with this ordinal (0-based rank among the modules of the walk)
// into `serial`: n+1 bytes, n at most 255. 1, or 0 with the buffer untouched when there is no such
// module or its serial number cannot be read (the ordinal is still taken: no later module moves
// up into it). A negative ordinal names nothing and walks nothing.
int NameModule(HidPlatform& platform, int ordinal, char* serial);

// Opens the first module, in walk order, whose serial number text equals `serial` byte for byte
// up to its terminator; 1 with the handle stored in `*out` (the caller's to close), or 0 with
// nothing stored. Modules whose serial number cannot be read are passed over.
int OpenModuleBySerial(HidPlatform& platform, DeviceHandle* out, const char* serial);

// Hands back a handle that the opening form gave out: 0 for null or all-ones, and 0 for a handle
// the platform can tell is not one of its open devices (nothing is closed); otherwise the handle
// is closed and the result is 1, whatever the system's close itself reports.
int CloseModule(HidPlatform& platform, DeviceHandle handle);

}  // namespace ksv
