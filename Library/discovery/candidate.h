// Deciding whether a HID interface is a module under the current module mode.
#pragma once

#include "core/module_mode.h"
#include "platform/hid_platform.h"

namespace ksv {

// Opens `path` exclusively for overlapped I/O, once, and keeps the handle only when the device
// reports one of the `wanted` identities as its vendor and product IDs. An empty Device when the
// open is refused, the IDs cannot be read or they match none; a handle opened here and not
// returned is closed.
Device OpenMatchingDevice(HidPlatform& platform, const char* path, const ModeIdentities& wanted);

// Opens `path` as a module under the current mode, read once for this candidate; an empty Device
// when it is not one. The candidate is opened once whatever the mode, so no other walk or program
// can take it between a check and the open that is kept.
Device OpenCandidate(HidPlatform& platform, const char* path);

}  // namespace ksv
