// One command out, one reply back, over an open device handle.
#pragma once

#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

// The exchange export: report ID 1, 63 payload bytes, any C++ exception turned into -255.
int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply);

}  // namespace ksv
