// A module's serial number as the library hands it on: 8-bit, zero-terminated text.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "platform/hid_platform.h"

namespace ksv {

// The longest serial number text with its terminator: 255 characters and the zero byte.
inline constexpr std::size_t kSerialTextBytes = 256;
using SerialText = std::array<char, kSerialTextBytes>;

// Writes a serial-number string (256 UTF-16 units) to `destination` as text: the low byte of each
// unit before the first zero unit, then a zero byte. A string without a zero unit among its first
// 255 is cut to those 255, so at most kSerialTextBytes bytes are written. Gives the number of
// characters n (n+1 bytes written).
std::size_t NarrowSerialUnits(const SerialUnits& units, char* destination);

// Reads the device's serial-number string and narrows it into `destination` as NarrowSerialUnits
// does; nothing, with `destination` untouched, when the string cannot be read.
std::optional<std::size_t> ReadSerialNarrow(HidPlatform& platform, DeviceHandle device,
                                            char* destination);

}  // namespace ksv
