// What Windows adds to ksvhid diagnose: nothing. The system does not say which process holds a
// HID device, and access to HID devices is not granted per user.
#include "diagnose.h"

namespace ksv::tool {

std::optional<Holder> FindHolder(const char*) { return std::nullopt; }

const char* AccessDeniedAdvice() { return ""; }

}  // namespace ksv::tool
