#include "discovery/interface_walk.h"

#include <cstring>

#include "platform/utf16_from_utf8.h"

namespace ksv {

std::optional<std::size_t> FittingPathLength(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') {
    if (++length == kDevicePathBytes) {
      return std::nullopt;  // more bytes than any fitting path has
    }
  }
  // Counted as the text decodes to UTF-16; no text decodes to more units than it has bytes.
  std::array<std::uint16_t, kDevicePathBytes> units;
  if (Utf16FromUtf8(text, length, units.data(), units.size()) > kDevicePathUnits) {
    return std::nullopt;
  }
  return length;
}

HidInterfaces ListHidInterfaces(HidPlatform& platform) {
  HidInterfaces interfaces;
  interfaces.hid_class = platform.GetHidClass();
  interfaces.list = InterfaceList(platform, platform.OpenInterfaceList(interfaces.hid_class));
  return interfaces;
}

PathLookup FindHidInterfacePath(HidPlatform& platform, const HidInterfaces& interfaces,
                                std::uint32_t index, DevicePath& path) {
  if (index >= kInterfaceIndexBound || !interfaces.list) {
    return PathLookup::kEnd;
  }
  InterfaceRecord record;
  switch (platform.GetInterfaceAt(interfaces.list.get(), interfaces.hid_class, index, record)) {
    case InterfaceLookup::kFound:
      break;
    case InterfaceLookup::kEnd:
      return PathLookup::kEnd;
    case InterfaceLookup::kFailed:
      return PathLookup::kSkipped;
  }
  const OwnedPathBlock block(platform, platform.GetInterfacePath(interfaces.list.get(), record));
  if (!block || block.get().text == nullptr) {
    return PathLookup::kSkipped;  // the device may just have left
  }
  const std::optional<std::size_t> length = FittingPathLength(block.get().text);
  if (!length) {
    return PathLookup::kSkipped;
  }
  std::memcpy(path.data(), block.get().text, *length + 1);
  return PathLookup::kFound;
}

}  // namespace ksv
