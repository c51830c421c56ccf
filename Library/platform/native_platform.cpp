// The library's own binding: its exports reach the system's realisation directly.
#include "platform/hid_platform.h"

namespace ksv {

HidPlatform& NativePlatform() { return SystemPlatform(); }

}  // namespace ksv
