// The export bodies that do not belong to discovery or exchange, over a given platform.
#pragma once

#include "ksv_version.h"
#include "platform/hid_platform.h"

namespace ksv {

inline constexpr int kVersionMajor = KSV_VERSION_MAJOR;
inline constexpr int kVersionMinor = KSV_VERSION_MINOR;
inline constexpr int kVersionBuild = KSV_VERSION_BUILD;

// 0 for null or all-ones; otherwise closes the handle and gives 1, whatever the close says.
int CloseDevice(HidPlatform& platform, DeviceHandle handle);

// Writes the version triple and gives 1.
int WriteVersion(int* major, int* minor, int* build);

}  // namespace ksv
