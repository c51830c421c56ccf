// The USB identifiers a device carries: what the platform reports and what the module mode
// accepts. A header of its own so that both can name it without reaching each other.
#pragma once

#include <cstdint>

namespace ksv {

struct DeviceIdentity {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  friend constexpr bool operator==(DeviceIdentity a, DeviceIdentity b) {
    return a.vendor == b.vendor && a.product == b.product;
  }
  friend constexpr bool operator!=(DeviceIdentity a, DeviceIdentity b) { return !(a == b); }
};

}  // namespace ksv
