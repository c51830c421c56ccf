// HidPlatform: every operating-system operation that discovery and exchange use.
//
// The logic never includes a system header; it reaches the system only through this table. Each
// operation's comment states what the logic relies on, not how a system provides it.
//
// The table is shaped after one model of I/O, Windows' overlapped transfers: a transfer is
// started, its completion event is waited for with a time limit, its byte count is collected, and
// a transfer that ran out of time is cancelled and waited for. Windows realises this directly. A
// system without that model emulates it (linux_transfer.h says how); operations marked
// "May do nothing" are then legitimately empty. Numbers that cross this boundary keep their
// Windows meaning on every realisation: kIoPending (997) for a transfer that was started, wait
// results kWaitSignalled (0) and kWaitTimedOut (258), and the Windows error numbers that the
// exchange maps to its result codes.
//
// Acquisitions come back as raw values; the logic holds them in the owners declared at the end of
// this file, so that every list, path block, device handle and event is released exactly once, on
// every path, in reverse order of acquisition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/device_identity.h"
#include "platform/windows_errors.h"

namespace ksv {

// A device handle as the caller sees it: the Windows HANDLE, or an encoded descriptor elsewhere.
using DeviceHandle = void*;

// The all-ones value: "no device", as a failed open reports it.
inline DeviceHandle InvalidDeviceHandle() {
  return reinterpret_cast<DeviceHandle>(~std::uintptr_t{0});
}
// Null and all-ones both mean that there is no device.
inline bool IsNoDevice(DeviceHandle h) { return h == nullptr || h == InvalidDeviceHandle(); }

// Opaque values handed out by the platform; null means "could not be had".
using InterfaceListToken = void*;
using EventToken = void*;

// The HID interface class (a GUID on Windows).
struct HidClass {
  std::array<std::uint8_t, 16> bytes{};
};

// What GetInterfaceAt found at one index of a list.
enum class InterfaceLookup {
  kFound,   // the record is filled
  kEnd,     // the index is past the end of the list
  kFailed,  // the entry could not be had; later indices may still hold interfaces
};

// One entry of an interface list, filled by GetInterfaceAt and passed back to GetInterfacePath.
// Realisation-defined content; each realisation checks at compile time that its record fits.
struct InterfaceRecord {
  alignas(8) std::array<std::uint8_t, 32> bytes{};
};

// A path block: storage that holds one interface's device path text, released by
// ReleasePathBlock. `text` points into `block` and is zero-terminated UTF-8, whatever form the
// system keeps paths in (Windows: UTF-16), so that every character of the path survives.
struct PathBlock {
  void* block = nullptr;
  const char* text = nullptr;
};

// Per-transfer state. The platform keeps its own bookkeeping in `storage` (realisation-defined;
// each realisation checks at compile time that it fits) and signals `event` when the transfer
// finishes. Between a start that reports
// kIoPending and the end of that transfer (its completion, or AwaitCancelled after
// CancelPending), the record and the transfer's buffer must stay at the same address.
struct TransferRecord {
  alignas(16) std::array<std::uint8_t, 48> storage{};
  EventToken event = nullptr;
  // Set by GetCompletedCount when the finished transfer failed: its error number (Windows
  // meaning; kErrorDeviceNotConnected when the device has left); 0 when it succeeded.
  std::uint32_t error = 0;
};

// Windows-meaning wait results (the error numbers are in windows_errors.h).
inline constexpr std::uint32_t kWaitSignalled = 0;        // WAIT_OBJECT_0
inline constexpr std::uint32_t kWaitTimedOut = 258;       // WAIT_TIMEOUT
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;  // WAIT_FAILED

// DiscardQueuedInput gives up after this many reports: more than any system queues for a handle.
inline constexpr std::uint32_t kMaxDiscardedReports = 256;

// What StartWrite / StartRead report.
struct StartOutcome {
  bool completed = false;   // true: the transfer finished at once and `count` is valid
  std::uint32_t error = 0;  // when not completed: kIoPending (started) or the error number
  std::uint32_t count = 0;  // bytes moved when completed at once
};

// Buffer for a device's serial-number string: 256 UTF-16 code units (512 bytes).
inline constexpr std::size_t kSerialUnits = 256;
using SerialUnits = std::array<std::uint16_t, kSerialUnits>;

// What DescribeInterface tells of an interface without taking it.
struct InterfaceFacts {
  DeviceIdentity ids;        // as GetDeviceIds would read them on an open handle
  bool accessible = false;   // kDescribed: the caller may open it for reading and writing
  bool serial_read = false;  // the serial-number string was asked for and could be read
  // kDescribed: names the interface's node to HolderOf (realisation-defined).
  std::array<std::uint64_t, 2> node{};
};

// What DescribeInterface could tell.
enum class Description {
  kDescribed,   // IDs, access and node are filled; HolderOf tells who holds it
  kIdentified,  // only the IDs are filled: access and holder show from an open of it alone
  kGone,        // there is no such interface (any more): an open would find nothing
  kOpenToTell,  // the system cannot tell without opening it
};

// Who keeps a described interface out of OpenDevicePath, as one look at the system saw it.
struct Holding {
  bool held = false;        // an open handle (this process's own included) keeps OpenDevicePath out
  std::int64_t holder = 0;  // when held: the holding process's ID; 0 when the system does not say
};

// One look at what holds the system's interfaces, as the platform hands it out; null: none.
using HoldersToken = void*;

// A machine-wide walk lock as the platform hands it out; null: not held.
using WalkLockToken = void*;

class HidPlatform {
 public:
  virtual ~HidPlatform() = default;

  // --- Interface lists -------------------------------------------------------------------
  // The class of HID interfaces.
  virtual HidClass GetHidClass() = 0;
  // A fresh list of the HID interfaces present now; null on failure.
  virtual InterfaceListToken OpenInterfaceList(const HidClass& cls) = 0;
  // Fills `out` with the i-th interface of the list and gives kFound; kEnd past the end of the
  // list, kFailed when that one entry cannot be had.
  virtual InterfaceLookup GetInterfaceAt(InterfaceListToken list, const HidClass& cls,
                                         std::uint32_t index, InterfaceRecord& out) = 0;
  // The interface's device path in a block of its own; block null on failure.
  virtual PathBlock GetInterfacePath(InterfaceListToken list, const InterfaceRecord& record) = 0;
  virtual void ReleasePathBlock(PathBlock block) = 0;
  virtual void CloseInterfaceList(InterfaceListToken list) = 0;

  // --- Devices ---------------------------------------------------------------------------
  // Opens a path (UTF-8, as GetInterfacePath gives it) for exclusive (no sharing), overlapped
  // reading and writing; InvalidDeviceHandle() when the system refuses.
  virtual DeviceHandle OpenDevicePath(const char* path) = 0;
  // The device's vendor and product IDs; nothing when they cannot be read.
  virtual std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) = 0;
  // The device's serial-number string as zero-terminated UTF-16 units (all 256 units may be used
  // without a terminator); false when it cannot be read.
  virtual bool GetSerialUnits(DeviceHandle h, SerialUnits& units) = 0;
  // Closes a device handle. False only for a handle that the realisation can tell is not one of
  // its open devices (nothing is closed then); a close the system itself refuses is not reported.
  virtual bool Close(DeviceHandle h) = 0;
  // A number that names the device `h` was opened on: the same for every handle opened on that
  // device while it stays where it is, and different for every other device present; 0 when the
  // realisation cannot tell. It does no input or output.
  virtual std::uint64_t DeviceKey(DeviceHandle h) = 0;
  // Why OpenDevicePath refuses `path`: opens it the same way, closes at once what opened, and
  // gives 0 when it opened, else the Windows-meaning error of the refusal: kErrorAccessDenied when
  // the caller may not open it, kErrorSharingViolation when another holder has it open,
  // kErrorFileNotFound when it is gone, any other number as the system gives it. The walks never
  // call it; it serves tools that explain what a walk passed over.
  virtual std::uint32_t OpenRefusal(const char* path) = 0;

  // --- Interfaces seen without taking them ----------------------------------------------
  // What an open of `path` and the reads on it would show, learned without taking it: kDescribed
  // with `facts` filled, kIdentified with only the IDs filled, kGone, or kOpenToTell when the
  // system cannot tell without an open (the caller then opens it to learn). Whatever the system
  // needs to read the IDs, it never keeps another program from opening the interface. When
  // `units` is not null, the serial-number string goes there as GetSerialUnits would give it, and
  // `facts.serial_read` says whether it could be read (kDescribed only).
  virtual Description DescribeInterface(const char* path, InterfaceFacts& facts,
                                        SerialUnits* units) = 0;
  // Reads once what holds the system's interfaces now, for HolderOf; null when it cannot be read
  // (whether a described interface is held then shows from an open of it alone). Costly where
  // the system lists other programs' locks beside the interfaces' own: asked once per walk.
  virtual HoldersToken ReadHolders() = 0;
  // Whether, in that look, an open handle held the interface at `path` that was described as
  // `facts` (kDescribed), and by whom.
  virtual Holding HolderOf(HoldersToken holders, const char* path, const InterfaceFacts& facts) = 0;
  virtual void ReleaseHolders(HoldersToken holders) = 0;

  // --- Walks of other processes ----------------------------------------------------------
  // Takes the lock that lets one walk at a time, among all processes of the machine, hold
  // candidates open, waiting at most `limit_ms` for it. Null when it is not held: the system has
  // no such lock (or needs none), it could not be had, or the wait ran out.
  virtual WalkLockToken LockMachineWalks(std::uint32_t limit_ms) = 0;
  virtual void UnlockMachineWalks(WalkLockToken token) = 0;

  // --- Transfers -------------------------------------------------------------------------
  // Drops every input report already queued on h, so that the next read delivers only a report
  // that arrived after this call. Its own reads go into `scratch` (n bytes) through `record`
  // (whose event the caller made); both are free again when it returns. It discards at most
  // kMaxDiscardedReports reports, so that a device that never stops sending cannot hold it.
  // 0 when nothing stale is left; otherwise the error number of the failure (kErrorInvalidHandle
  // when h no longer names the device it was opened on), and then nothing more must be done on h.
  virtual std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                           TransferRecord& record) = 0;
  // An auto-reset, unsignalled event seen by one transfer only; null when it cannot be made.
  // A realisation that waits on something else may hand out any non-null token.
  virtual EventToken CreateCompletionEvent() = 0;
  // May do nothing, when CreateCompletionEvent acquires nothing.
  virtual void CloseEvent(EventToken event) = 0;
  // Starts writing n bytes / reading up to n bytes, with `record.event` signalled on completion.
  // Here, in DiscardQueuedInput and in GetCompletedCount, a failure because the device has left
  // is reported as kErrorDeviceNotConnected, whatever the system's own number for it.
  virtual StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                                  TransferRecord& record) = 0;
  virtual StartOutcome StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                 TransferRecord& record) = 0;
  // Waits up to `limit_ms` for the record's transfer: kWaitSignalled, kWaitTimedOut, or any
  // other value for a failed wait (as with a record that has no event).
  virtual std::uint32_t WaitCompletion(DeviceHandle h, TransferRecord& record,
                                       std::uint32_t limit_ms) = 0;
  // Ends the calling thread's pending transfers on h. May do nothing where a transfer that was not
  // completed leaves nothing queued in the system.
  virtual void CancelPending(DeviceHandle h) = 0;
  // Waits, without a time limit, until the record's transfer has finished and gives the bytes a
  // finished read delivered (0 when it delivered nothing or ended in error); a transfer that ended
  // in error also sets `record.error`.
  virtual std::uint32_t GetCompletedCount(DeviceHandle h, TransferRecord& record) = 0;
  // After CancelPending: waits until the system no longer touches the record or its buffer. May do
  // nothing where the system never holds a transfer's buffer beyond the calls made on it.
  virtual void AwaitCancelled(DeviceHandle h, TransferRecord& record) = 0;

 protected:
  HidPlatform() = default;
  HidPlatform(const HidPlatform&) = default;
  HidPlatform& operator=(const HidPlatform&) = default;
};

// The realisation for the system the library was built for (Windows, or Linux hidraw).
HidPlatform& SystemPlatform();

// The platform the exports bind: the system's in the library itself; the simulator and the
// recorder bind their own (simulated modules, or the system's behind a recording layer).
HidPlatform& NativePlatform();

// ---------------------------------------------------------------------------------------------
// Owners. Each holds one acquisition and releases it through the platform when it goes out of
// scope; move-only, so a value is released once.

template <typename Traits>
class PlatformOwner {
 public:
  using Value = typename Traits::Value;

  PlatformOwner() = default;
  PlatformOwner(HidPlatform& platform, Value value) : platform_(&platform), value_(value) {}
  ~PlatformOwner() { reset(); }

  PlatformOwner(PlatformOwner&& other) noexcept
      : platform_(other.platform_), value_(std::exchange(other.value_, Traits::Empty())) {}
  PlatformOwner& operator=(PlatformOwner&& other) noexcept {
    if (this != &other) {
      reset();
      platform_ = other.platform_;
      value_ = std::exchange(other.value_, Traits::Empty());
    }
    return *this;
  }
  PlatformOwner(const PlatformOwner&) = delete;
  PlatformOwner& operator=(const PlatformOwner&) = delete;

  explicit operator bool() const { return !Traits::IsEmpty(value_); }
  const Value& get() const { return value_; }

  // Gives up ownership without releasing.
  Value release() { return std::exchange(value_, Traits::Empty()); }

  void reset() {
    if (!Traits::IsEmpty(value_)) {
      Traits::Release(*platform_, std::exchange(value_, Traits::Empty()));
    }
  }

 private:
  HidPlatform* platform_ = nullptr;
  Value value_ = Traits::Empty();
};

struct InterfaceListTraits {
  using Value = InterfaceListToken;
  static Value Empty() { return nullptr; }
  static bool IsEmpty(Value v) { return v == nullptr; }
  static void Release(HidPlatform& p, Value v) { p.CloseInterfaceList(v); }
};
struct PathBlockTraits {
  using Value = PathBlock;
  static Value Empty() { return {}; }
  static bool IsEmpty(const Value& v) { return v.block == nullptr; }
  static void Release(HidPlatform& p, Value v) { p.ReleasePathBlock(v); }
};
struct DeviceTraits {
  using Value = DeviceHandle;
  static Value Empty() { return InvalidDeviceHandle(); }
  static bool IsEmpty(Value v) { return IsNoDevice(v); }
  static void Release(HidPlatform& p, Value v) { static_cast<void>(p.Close(v)); }
};
struct EventTraits {
  using Value = EventToken;
  static Value Empty() { return nullptr; }
  static bool IsEmpty(Value v) { return v == nullptr; }
  static void Release(HidPlatform& p, Value v) { p.CloseEvent(v); }
};

struct HoldersTraits {
  using Value = HoldersToken;
  static Value Empty() { return nullptr; }
  static bool IsEmpty(Value v) { return v == nullptr; }
  static void Release(HidPlatform& p, Value v) { p.ReleaseHolders(v); }
};

struct WalkLockTraits {
  using Value = WalkLockToken;
  static Value Empty() { return nullptr; }
  static bool IsEmpty(Value v) { return v == nullptr; }
  static void Release(HidPlatform& p, Value v) { p.UnlockMachineWalks(v); }
};

using InterfaceList = PlatformOwner<InterfaceListTraits>;
using OwnedPathBlock = PlatformOwner<PathBlockTraits>;
using Device = PlatformOwner<DeviceTraits>;
using CompletionEvent = PlatformOwner<EventTraits>;
using MachineWalkLock = PlatformOwner<WalkLockTraits>;
using Holders = PlatformOwner<HoldersTraits>;

}  // namespace ksv
