// HID report descriptors of the virtual devices.
#pragma once

#include <cstdint>
#include <vector>

#include "device_description.h"

namespace ksv::tool {

// Module: usage page 0xFF00, usage 1, one application collection declaring
// input and output reports with IDs 1, 2 and 3, each of 63 bytes (input
// reports: `input_payload` bytes).  The kernel drops input reports with
// undeclared IDs, so a reply with ID 2 or 3 still reaches hidraw while, say,
// ID 4 does not.
// Keyboard: the boot keyboard of the HID class definition (no report IDs,
// 8-byte input report, 1-byte LED output report).
std::vector<std::uint8_t> ReportDescriptor(DeviceKind kind,
                                           std::size_t input_payload = kModulePayloadSize);

}  // namespace ksv::tool
