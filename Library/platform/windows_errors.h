// The Windows error numbers that cross the platform boundary, named once. They keep their Windows
// meaning on every realisation: the exchange maps them to its result codes, and the other
// realisations translate their own failures to them.
#pragma once

#include <cstdint>

namespace ksv {

inline constexpr std::uint32_t kErrorInvalidFunction = 1;    // ERROR_INVALID_FUNCTION
inline constexpr std::uint32_t kErrorFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorPathNotFound = 3;       // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;   // ERROR_TOO_MANY_OPEN_FILES
inline constexpr std::uint32_t kErrorAccessDenied = 5;       // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kErrorInvalidHandle = 6;      // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;    // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kErrorBadEnvironment = 10;    // ERROR_BAD_ENVIRONMENT
inline constexpr std::uint32_t kErrorOutOfMemory = 14;       // ERROR_OUTOFMEMORY
inline constexpr std::uint32_t kErrorWriteProtect = 19;      // ERROR_WRITE_PROTECT
inline constexpr std::uint32_t kErrorWriteFault = 29;        // ERROR_WRITE_FAULT
inline constexpr std::uint32_t kErrorReadFault = 30;         // ERROR_READ_FAULT
inline constexpr std::uint32_t kErrorGenFailure = 31;        // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kErrorSharingViolation = 32;  // ERROR_SHARING_VIOLATION: in use
inline constexpr std::uint32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kErrorOpenFailed = 110;       // ERROR_OPEN_FAILED
inline constexpr std::uint32_t kIoPending = 997;             // ERROR_IO_PENDING: transfer started
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED

}  // namespace ksv
