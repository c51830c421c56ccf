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

InterfaceEntry LookUpInterface(HidPlatform& platform, const HidInterfaces& interfaces,
                               std::uint32_t index) {
  InterfaceEntry entry;
  if (!interfaces.list) {
    return entry;
  }
  InterfaceRecord record;
  switch (platform.GetInterfaceAt(interfaces.list.get(), interfaces.hid_class, index, record)) {
    case InterfaceLookup::kFound:
      break;
    case InterfaceLookup::kEnd:
      return entry;
    case InterfaceLookup::kFailed:
      entry.lookup = PathLookup::kSkipped;
      return entry;
  }
  entry.lookup = PathLookup::kSkipped;
  entry.block = OwnedPathBlock(platform, platform.GetInterfacePath(interfaces.list.get(), record));
  if (!entry.block || entry.block.get().text == nullptr) {
    return entry;  // the device may just have left
  }
  if (!FittingPathLength(entry.block.get().text)) {
    entry.skip = PathSkip::kTooLong;
    return entry;
  }
  entry.lookup = PathLookup::kFound;
  entry.skip = PathSkip::kNone;
  return entry;
}

PathLookup FindHidInterfacePath(HidPlatform& platform, const HidInterfaces& interfaces,
                                std::uint32_t index, DevicePath& path) {
  if (index >= kInterfaceIndexBound) {
    return PathLookup::kEnd;
  }
  const InterfaceEntry entry = LookUpInterface(platform, interfaces, index);
  if (entry.lookup == PathLookup::kFound) {
    const char* text = entry.block.get().text;
    std::memcpy(path.data(), text, std::strlen(text) + 1);
  }
  return entry.lookup;
}

}  // namespace ksv
