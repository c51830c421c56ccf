// How the Linux realisation translates errno values to the Windows error numbers behind the
// exchange's result codes (tabled in docs/linux-and-windows.md). A pure function, so that the table
// is tested as a table on any system.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/windows_errors.h"

namespace ksv {

enum class TransferDirection { kWrite, kRead };

// The Windows error number for a failed read or write with this errno.
//   - ETIMEDOUT: the kernel gave up on a USB transfer after its own limit (a write to a module that
//     never takes the output report); it is the exchange's time-out, as on Windows.
//   - EAGAIN on a write: the device could not take the report now; it was not taken in time either.
//   - EPIPE, EPROTO: the module stalled or garbled the transfer on the bus: a fault of that
//     direction, as EIO is.
constexpr std::uint32_t WindowsErrorOf(int error, TransferDirection direction) {
  const bool write = direction == TransferDirection::kWrite;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return write ? kErrorTooManyOpenFiles : kErrorGenFailure;  // a write's is the time-out (-1)
  }
  switch (error) {
    case EBADF:
      return kErrorInvalidHandle;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOBUFS:
      return kErrorOutOfMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    case EMFILE:
    case ENFILE:
    case ETIMEDOUT:
      return kErrorTooManyOpenFiles;
    case EIO:
    case EPIPE:
    case EPROTO:
      return write ? kErrorWriteFault : kErrorReadFault;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return kErrorDeviceNotConnected;
    default:
      return kErrorGenFailure;
  }
}

// Whether a transfer that failed with this errno may have failed because the device left: hidraw
// reports a device that is gone with EIO (read) or ENODEV (write), and a USB transfer that the
// disconnect cut off ends with EPROTO, EPIPE or ESHUTDOWN. Only a look at the device tells.
constexpr bool MaySignalRemoval(int error) {
  switch (error) {
    case EIO:
    case EPIPE:
    case EPROTO:
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return true;
    default:
      return false;
  }
}

}  // namespace ksv
