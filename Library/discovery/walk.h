// The walk over present HID interfaces, in the three forms behind the enumeration exports.
//
// Each call walks afresh over one list of the HID interfaces present when it starts: indices 0,
// 1, 2, ... of that list until its end (never beyond 63). An interface whose path cannot be had or
// does not fit is passed over; each other path is opened once as a candidate under the current
// module mode, and a candidate that opens is a module. A device that arrives or leaves during the
// walk therefore never makes a module count twice. At most one module handle is open at a time,
// and every handle the walk opens is closed before it moves on, except the one the opening form
// hands back. A module held open by anyone (an earlier opening form included) cannot be opened
// again, so it is invisible to the walk until it is closed.
//
// The walks of one process run one at a time, so walks on different threads never hide a module
// from each other; walks in different processes can, for the moment one looks at it.
#pragma once

#include "platform/hid_platform.h"

namespace ksv {

// Number of modules one walk finds; a module whose serial number cannot be read counts too.
int CountModules(HidPlatform& platform);

// Serial number text of the module with this ordinal (0-based rank among the modules of the walk)
// into `serial`: n+1 bytes, n at most 255. 1, or 0 with the buffer untouched when there is no such
// module or its serial number cannot be read (the ordinal is still taken: no later module moves
// up into it).
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
