// What the unit tests fill buffers and out-parameters with before a call, to see afterwards what
// the logic wrote and what it left alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/report.h"
#include "platform/hid_platform.h"

namespace ksv::test {

inline constexpr char kSentinel = '\x5A';
inline const DeviceHandle kUnwritten = reinterpret_cast<DeviceHandle>(std::uintptr_t{0x5A5A5A5A});
// A command's or reply's payload length, short for the tables.
inline constexpr std::size_t kL = kPayloadLength;

}  // namespace ksv::test
