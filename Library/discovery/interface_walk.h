// The walk over present HID interfaces: one list of them per walk, and the device path at one
// index of that list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/hid_platform.h"

namespace ksv {

// Interface indices 0..63 can yield a path; 64 and above never do, whatever devices are present.
inline constexpr std::uint32_t kInterfaceIndexBound = 64;

// A device path is UTF-8 text (HidPlatform hands paths on in UTF-8) of at most 259 characters,
// counted as the system counts them: in UTF-16 code units, as Windows holds a path.
inline constexpr std::size_t kDevicePathUnits = 259;
// A character of one UTF-16 unit takes at most 3 bytes of UTF-8 (one of two units takes 4), so
// a path that fits takes at most three bytes per unit, and the terminating zero.
inline constexpr std::size_t kDevicePathBytes = kDevicePathUnits * 3 + 1;
using DevicePath = std::array<char, kDevicePathBytes>;

// The length in bytes of the zero-terminated UTF-8 path `text` when it has at most
// kDevicePathUnits UTF-16 units, else nothing. Reads no further than the terminator and never
// more than kDevicePathBytes bytes.
std::optional<std::size_t> FittingPathLength(const char* text);

// The HID interfaces present when it was built, held for the whole of one walk and closed when
// it goes out of scope. Indices into it stay put while the walk runs: a device that arrives or
// leaves meanwhile does not shift the interfaces after it.
struct HidInterfaces {
  HidClass hid_class;
  InterfaceList list;  // empty when the list could not be built
};

// Builds the list of the HID interfaces present now.
HidInterfaces ListHidInterfaces(HidPlatform& platform);

// What one index of the list gave.
enum class PathLookup {
  kFound,    // the path was written
  kSkipped,  // this interface has no usable path; later indices may
  kEnd,      // past the end of the list, or at the bound: no later index yields anything
};

// Why an interface of the list yields no usable path.
enum class PathSkip {
  kNone,        // the path is usable
  kUnreadable,  // its entry or its path cannot be had (the device may just have left)
  kTooLong,     // 260 characters or more: it does not fit a DevicePath
};

// One index of the list as it is: kEnd past the end of the list (or without a list); otherwise
// the path block (empty when unreadable) and whether its path is usable. No bound applies here.
struct InterfaceEntry {
  PathLookup lookup = PathLookup::kEnd;
  PathSkip skip = PathSkip::kUnreadable;
  OwnedPathBlock block;
};
InterfaceEntry LookUpInterface(HidPlatform& platform, const HidInterfaces& interfaces,
                               std::uint32_t index);

// Copies the path of the HID interface at `index` of `interfaces`, with its terminator, into
// `path` and gives kFound. `path` is written only then. An interface that cannot be looked up,
// whose path cannot be read, or whose path does not fit (FittingPathLength) gives kSkipped; the
// bound, the end of the list and a list that could not be built give kEnd.
PathLookup FindHidInterfacePath(HidPlatform& platform, const HidInterfaces& interfaces,
                                std::uint32_t index, DevicePath& path);

}  // namespace ksv
