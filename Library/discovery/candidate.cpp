#include "discovery/candidate.h"

#include <optional>

#include "core/module_mode.h"

namespace ksv {

Device OpenMatchingDevice(HidPlatform& platform, const char* path, DeviceIdentity wanted) {
  Device device(platform, platform.OpenDevicePath(path));
  if (!device) {
    return Device{};
  }
  const std::optional<DeviceIdentity> ids = platform.GetDeviceIds(device.get());
  if (!ids || *ids != wanted) {
    return Device{};  // `device` closes the handle
  }
  return device;
}

Device OpenCandidate(HidPlatform& platform, const char* path) {
  const ModeIdentities identities = IdentitiesFor(CurrentMode());
  DeviceIdentity chosen = identities.first;
  if (identities.count > 1) {
    // The probe's handle is a temporary, closed before the open that is kept.
    const bool first_matches = static_cast<bool>(OpenMatchingDevice(platform, path, chosen));
    if (!first_matches) {
      chosen = identities.second;
    }
  }
  return OpenMatchingDevice(platform, path, chosen);
}

}  // namespace ksv
