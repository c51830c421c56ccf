// How a Linux device handle is encoded. A handle carries the hidraw node's descriptor and the
// node's device number, so that it is acted on only while its descriptor still names that node (a
// closed descriptor number is soon handed out again, by the lowest-free rule, for whatever the
// process opens next):
//   bits 0..31   descriptor + 1: never 0, at most 2^31, so the value is neither null nor all-ones;
//   bits 32..63  the device number in the kernel's own 32-bit form (12-bit major, 20-bit minor).
// A 32-bit build has no room for both in a pointer; it would need a table of open handles.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

static_assert(sizeof(DeviceHandle) >= sizeof(std::uint64_t),
              "a Linux handle carries a descriptor and a device number: 64-bit builds only");
inline constexpr unsigned kDescriptorBits = 32;
inline constexpr unsigned kMinorBits = 20;
inline constexpr std::uint64_t kMajorLimit = std::uint64_t{1} << (kDescriptorBits - kMinorBits);
inline constexpr std::uint64_t kMinorLimit = std::uint64_t{1} << kMinorBits;
inline constexpr std::uint64_t kDescriptorMask = (std::uint64_t{1} << kDescriptorBits) - 1;

// The device number of a node as the handle carries it; 0 when it does not fit, which no
// character device has.
inline std::uint32_t CarriedDeviceNumber(dev_t device) {
  const std::uint64_t major_number = major(device), minor_number = minor(device);
  if (major_number >= kMajorLimit || minor_number >= kMinorLimit) {
    return 0;
  }
  return static_cast<std::uint32_t>(major_number << kMinorBits | minor_number);
}

inline DeviceHandle HandleOf(int fd, std::uint32_t device) {
  const std::uint64_t value =
      std::uint64_t{device} << kDescriptorBits | (static_cast<std::uint64_t>(fd) + 1);
  return reinterpret_cast<DeviceHandle>(static_cast<std::uintptr_t>(value));
}

// The device number a handle carries.
inline std::uint32_t CarriedBy(DeviceHandle h) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h) >> kDescriptorBits);
}

// The descriptor a handle carries, unchecked; -1 (every call then gives EBADF) when it carries
// none. For handles the walk has just opened, and for transfers the exchange began with a check.
inline int DescriptorOf(DeviceHandle h) {
  const std::uint64_t low = reinterpret_cast<std::uintptr_t>(h) & kDescriptorMask;
  if (low == 0 || low > static_cast<std::uint64_t>(INT_MAX) + 1) {
    return -1;  // null, all-ones or no descriptor at all
  }
  return static_cast<int>(low - 1);
}

// The descriptor, when it still names the character device the handle was opened on (one
// fstat); -1 otherwise.
inline int CheckedDescriptor(DeviceHandle h) {
  const int fd = DescriptorOf(h);
  const std::uint32_t device = CarriedBy(h);
  struct stat st {};
  if (fd < 0 || device == 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) ||
      CarriedDeviceNumber(st.st_rdev) != device) {
    return -1;
  }
  return fd;
}

}  // namespace ksv
