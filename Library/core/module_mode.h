// The process-wide module mode: which devices count as modules and which replies are accepted.
// It sits below discovery and exchange, which both read it; it reaches only the standard library
// and the device identity type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/device_identity.h"

namespace ksv {

// Mode values 0..3; every process starts at 0.
using ModuleMode = std::int32_t;

inline constexpr ModuleMode kDefaultMode = 0;          // either vendor, standard product
inline constexpr ModuleMode kLenientMode = 1;          // the lenient product, lenient replies
inline constexpr ModuleMode kPrimaryVendorMode = 2;    // primary vendor only
inline constexpr ModuleMode kSecondaryVendorMode = 3;  // secondary vendor only

inline constexpr std::uint16_t kVendorPrimary = 0x17FE;
inline constexpr std::uint16_t kVendorSecondary = 0x10C4;
inline constexpr std::uint16_t kProductStandard = 0x82CD;
inline constexpr std::uint16_t kProductLenient = 0x8200;

// The identities a module may carry under one mode, in the order they are probed.
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
// Every mode but the lenient one requires a reply that fills the whole input report.
bool RequiresFullReply(ModuleMode mode);
// Only the lenient mode accepts a reply with report ID 3.
bool AcceptsReportId3(ModuleMode mode);

}  // namespace ksv
