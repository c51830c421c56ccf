// One step of the walk over present HID interfaces: the device path at one interface index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

// Interface indices 0..63 can yield a path; 64 and above never do, whatever devices are present.
inline constexpr std::uint32_t kInterfaceIndexBound = 64;

// A device path as the walk hands it on: at most 259 characters and the terminating zero.
inline constexpr std::size_t kDevicePathBytes = 260;
using DevicePath = std::array<char, kDevicePathBytes>;

// Copies the path of the HID interface at `index`, with its terminator, into `path` and gives
// true. Gives false with `path` untouched past the bound, past the end of the list, when the list
// or the path cannot be had, and for a path of 260 characters or more, which does not fit.
// Every call builds its own interface list and closes it before returning: nothing is cached, so
// each step sees the interfaces present at that moment.
bool FindHidInterfacePath(HidPlatform& platform, std::uint32_t index, DevicePath& path);

}  // namespace ksv
