#include "discovery/candidate.h"

#include <optional>

namespace ksv {
namespace {

bool IsWanted(DeviceIdentity ids, const ModeIdentities& wanted) {
  return ids == wanted.first || (wanted.count > 1 && ids == wanted.second);
}

}  // namespace

Device OpenMatchingDevice(HidPlatform& platform, const char* path, const ModeIdentities& wanted) {
  Device device(platform, platform.OpenDevicePath(path));
  if (!device) {
    return Device{};
  }
  const std::optional<DeviceIdentity> ids = platform.GetDeviceIds(device.get());
  if (!ids || !IsWanted(*ids, wanted)) {
    return Device{};  // `device` closes the handle
  }
  return device;
}

Device OpenCandidate(HidPlatform& platform, const char* path) {
  return OpenMatchingDevice(platform, path, IdentitiesFor(CurrentMode()));
}

}  // namespace ksv
