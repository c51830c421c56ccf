// What Windows adds to ksvhid diagnose: nothing. The system does not say which process holds a
// HID device, and access to HID devices is not granted per user.
#include "diagnose.h"

namespace ksv::tool {

std::string CommandOf(long long) { return ""; }

const char* AccessDeniedAdvice() { return ""; }

}  // namespace ksv::tool
