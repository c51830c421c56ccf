// How the Linux realisation translates errno values to the Windows error numbers behind the
// exchange's result codes (tabled in docs/linux-and-windows.md). A pure function, so that the table
// is tested as a table on any system.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

enum class TransferDirection { kWrite, kRead };

// Windows error numbers produced by the translation.
inline constexpr std::uint32_t kWinTooManyOpenFiles = 4;  // its result is the time-out (-1)
inline constexpr std::uint32_t kWinNotEnoughMemory = 8;
inline constexpr std::uint32_t kWinOutOfMemory = 14;
inline constexpr std::uint32_t kWinWriteFault = 29;
inline constexpr std::uint32_t kWinReadFault = 30;
inline constexpr std::uint32_t kWinGenFailure = 31;
inline constexpr std::uint32_t kWinInvalidParameter = 87;
inline constexpr std::uint32_t kWinDeviceNotConnected = 1167;

// The Windows error number for a failed read or write with this errno.
//   - ETIMEDOUT: the kernel gave up on a USB transfer after its own limit (a write to a module that
//     never takes the output report); it is the exchange's time-out, as on Windows.
//   - EAGAIN on a write: the device could not take the report now; it was not taken in time either.
//   - EPIPE, EPROTO: the module stalled or garbled the transfer on the bus: a fault of that
//     direction, as EIO is.
constexpr std::uint32_t WindowsErrorOf(int error, TransferDirection direction) {
  const bool write = direction == TransferDirection::kWrite;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return write ? kWinTooManyOpenFiles : kWinGenFailure;
  }
  switch (error) {
    case EBADF:
      return kErrorInvalidHandle;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
      return kWinNotEnoughMemory;
    case ENOBUFS:
      return kWinOutOfMemory;
    case EINVAL:
      return kWinInvalidParameter;
    case EMFILE:
    case ENFILE:
    case ETIMEDOUT:
      return kWinTooManyOpenFiles;
    case EIO:
    case EPIPE:
    case EPROTO:
      return write ? kWinWriteFault : kWinReadFault;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return kWinDeviceNotConnected;
    default:
      return kWinGenFailure;
  }
}

}  // namespace ksv
