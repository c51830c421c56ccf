// The walk over present HID interfaces, in the three forms behind the enumeration exports.
#pragma once

#include "platform/hid_platform.h"

namespace ksv {

// Number of modules one walk finds.
int CountModules(HidPlatform& platform);

// Serial number text of the module with this ordinal into `serial` (n+1 bytes); 1, or 0 with the
// buffer untouched.
int NameModule(HidPlatform& platform, int ordinal, char* serial);

// Opens the first module whose serial number text equals `serial`; 1 with the handle stored in
// `*out`, or 0 with nothing stored.
int OpenModuleBySerial(HidPlatform& platform, DeviceHandle* out, const char* serial);

}  // namespace ksv
