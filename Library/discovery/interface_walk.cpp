#include "discovery/interface_walk.h"

#include <cstring>
#include <optional>

namespace ksv {
namespace {

// Length of `text` when it fits a DevicePath together with its terminator, else nothing. Reads
// no further than the terminator and never more than kDevicePathBytes bytes.
std::optional<std::size_t> FittingLength(const char* text) {
  for (std::size_t length = 0; length < kDevicePathBytes; ++length) {
    if (text[length] == '\0') {
      return length;
    }
  }
  return std::nullopt;
}

}  // namespace

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
  const std::optional<std::size_t> length = FittingLength(block.get().text);
  if (!length) {
    return PathLookup::kSkipped;
  }
  std::memcpy(path.data(), block.get().text, *length + 1);
  return PathLookup::kFound;
}

}  // namespace ksv
