#include "discovery/serial.h"

namespace ksv {

static_assert(kSerialTextBytes <= kSerialUnits, "the text never takes more units than are read");

std::size_t NarrowSerialUnits(const SerialUnits& units, char* destination) {
  // The platform may fill all 256 units without a terminator; the count stops one short of the
  // text's size so that the terminator always fits.
  std::size_t length = 0;
  while (length < kSerialTextBytes - 1 && units[length] != 0) {
    ++length;
  }
  // No code-page conversion: a unit above 0xFF keeps only its low byte (0x0100 becomes a zero
  // byte inside the text).
  for (std::size_t k = 0; k < length; ++k) {
    destination[k] = static_cast<char>(static_cast<unsigned char>(units[k] & 0xFFu));
  }
  destination[length] = '\0';
  return length;
}

std::optional<std::size_t> ReadSerialNarrow(HidPlatform& platform, DeviceHandle device,
                                            char* destination) {
  SerialUnits units{};
  if (!platform.GetSerialUnits(device, units)) {
    return std::nullopt;
  }
  return NarrowSerialUnits(units, destination);
}

}  // namespace ksv
