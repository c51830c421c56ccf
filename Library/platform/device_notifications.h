// DeviceNotifications: what the system tells of HID interfaces that arrive and leave.
//
// A source hands out changes one at a time, in the order the system reported them. It starts
// with a sweep: kSweepBegin, one kArrived for every interface present, kSweepEnd. It sends another
// sweep whenever it may have missed changes (a notification queue that overflowed); the logic
// then reports as left whatever the sweep no longer shows. Each interface carries a key that
// names it while it is present and is not given to a later interface soon after (Linux: the
// sysfs device path, whose HID instance number only grows; Windows: the interface path).
//
// The source decides nothing about modules: every HID interface comes through, with the facts
// the system could give without opening it for reading or writing.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "platform/hid_platform.h"

namespace ksv {

inline constexpr std::size_t kInterfaceKeyBytes = 512;

// Whether anyone holds an interface open so that a walk's open is refused.
enum class HeldState { kFree, kHeld, kUnknown };

struct InterfaceChange {
  enum class Kind { kArrived, kLeft, kSweepBegin, kSweepEnd };
  Kind kind = Kind::kSweepBegin;
  std::array<char, kInterfaceKeyBytes> key{};  // zero-terminated; cut when longer
  // kArrived only:
  bool ids_read = false;  // the IDs could be had (else the interface is passed over)
  DeviceIdentity ids;
  bool serial_read = false;  // `units` holds the serial-number string
  SerialUnits units{};
  HeldState held = HeldState::kUnknown;
};

class DeviceNotifications {
 public:
  virtual ~DeviceNotifications() = default;
  DeviceNotifications(const DeviceNotifications&) = delete;
  DeviceNotifications& operator=(const DeviceNotifications&) = delete;

  // Waits up to `timeout_ms` (negative: without limit) for the next change: 1 with `out` filled,
  // 0 when the time ran out or Wake was called, -1 when the source can deliver nothing more.
  virtual int Next(int timeout_ms, InterfaceChange& out) = 0;
  // Makes a Next that waits on another thread return 0 soon, and every later Next at once.
  // Safe from any thread.
  virtual void Wake() = 0;
  // How the source learns of changes, as KSVHidWatchMethod names it.
  virtual const char* Method() const = 0;

 protected:
  DeviceNotifications() = default;
};

// The source of the system the library was built for; null when it cannot be had.
std::unique_ptr<DeviceNotifications> OpenNativeNotifications();

// Copies `text` (zero-terminated) into the change's key, cut to fit.
inline void SetInterfaceKey(InterfaceChange& change, const char* text) {
  std::size_t n = 0;
  for (; n + 1 < change.key.size() && text[n] != '\0'; ++n) {
    change.key[n] = text[n];
  }
  change.key[n] = '\0';
}

}  // namespace ksv
