// Deciding whether a HID interface is a module under the current module mode.
#pragma once

#include "platform/hid_platform.h"

namespace ksv {

// Opens `path` exclusively for overlapped I/O and keeps the handle only when the device reports
// exactly `wanted` as its vendor and product IDs. An empty Device when the open is refused, the
// IDs cannot be read or they differ; a handle opened here and not returned is closed.
Device OpenMatchingDevice(HidPlatform& platform, const char* path, DeviceIdentity wanted);

// Opens `path` as a module under the current mode, read once for this candidate; an empty Device
// when it is not one. When the mode accepts two identities, the first is probed (and the probe's
// handle closed) to choose between them: a candidate that fails the probe for any reason is
// opened with the second. A module is therefore opened twice in that mode.
Device OpenCandidate(HidPlatform& platform, const char* path);

}  // namespace ksv
