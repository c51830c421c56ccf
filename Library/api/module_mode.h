// The process-wide module mode: which devices count as modules and which replies are accepted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

// Mode values 0..3; every process starts at 0.
using ModuleMode = std::int32_t;

inline constexpr ModuleMode kDefaultMode = 0;
inline constexpr ModuleMode kLenientMode = 1;
inline constexpr ModuleMode kHighestMode = 3;

inline constexpr std::uint16_t kVendorPrimary = 0x17FE;
inline constexpr std::uint16_t kVendorSecondary = 0x10C4;
inline constexpr std::uint16_t kProductStandard = 0x82CD;
inline constexpr std::uint16_t kProductLenient = 0x8200;

// The identities a module must carry under one mode, in the order they are probed.
struct ModeIdentities {
  DeviceIdentity first;
  DeviceIdentity second;
  std::size_t count;  // 1 or 2
};

// Stores `mode` when it is 0..3 and gives 1; any other value stores 0 and gives 0.
int SetModuleMode(int mode);
// The stored mode, read anew at each call (relaxed: one whole 32-bit value, no ordering).
ModuleMode CurrentMode();

ModeIdentities IdentitiesFor(ModuleMode mode);
// Every mode but the lenient one requires a full-length reply.
bool ReplyLengthTested(ModuleMode mode);
// Only the lenient mode accepts a reply with report ID 3.
bool ReportId3Accepted(ModuleMode mode);

}  // namespace ksv
