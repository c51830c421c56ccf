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

bool FindHidInterfacePath(HidPlatform& platform, std::uint32_t index, DevicePath& path) {
  // Past the bound no list is worth building: the answer is no path.
  if (index >= kInterfaceIndexBound) {
    return false;
  }
  const HidClass hid_class = platform.GetHidClass();
  const InterfaceList list(platform, platform.OpenInterfaceList(hid_class));
  if (!list) {
    return false;
  }
  InterfaceRecord record;
  if (!platform.GetInterfaceAt(list.get(), hid_class, index, record)) {
    return false;  // the end of the list, or a failed lookup
  }
  const OwnedPathBlock block(platform, platform.GetInterfacePath(list.get(), record));
  if (!block || block.get().text == nullptr) {
    return false;
  }
  const std::optional<std::size_t> length = FittingLength(block.get().text);
  if (!length) {
    return false;
  }
  std::memcpy(path.data(), block.get().text, *length + 1);
  return true;
}

}  // namespace ksv
