// The test platform: the library's simulated platform (in instant time), with a layer for the
// tests on top.
//
// The modules, transfers and timing are the simulated platform's. This layer scripts them (path,
// IDs, serial units, refusals and, per interface, how transfers on it behave), accounts for every
// interface list, path block, device handle and event handed out, so a test can assert that
// everything acquired was released exactly once, records a trace of the operations, and can make
// the k-th platform operation fail, or one throw, to sweep the failure paths.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hid_platform.h"
#include "simulator/simulated_hid_platform.h"

namespace ksv::test {

// How a transfer's start and completion go.
enum class Completion {
  kAtOnce,    // the start reports completion
  kPending,   // the start reports 997; the wait is signalled
  kNever,     // the start reports 997; the wait times out; only a cancel ends it
  kFailStart  // the start fails with `error`
};

struct WriteBehaviour {
  Completion completion = Completion::kAtOnce;
  std::uint32_t error = 0;  // for kFailStart
};

struct ReadBehaviour {
  Completion completion = Completion::kAtOnce;
  std::uint32_t error = 0;  // for kFailStart; for kPending, the error the read ends with (0: none)
  // Bytes delivered (report ID first); the count is their number (capped at the read size).
  // When `echo` is set the reply is the written report with its first byte replaced by `echo_id`.
  std::vector<std::uint8_t> reply;
  bool echo = false;
  std::uint8_t echo_id = 1;
};

struct SimInterface {
  std::string path;
  DeviceIdentity ids{};
  // Serial-number units as the device reports them (a terminator is added when they fit);
  // nothing: the serial number cannot be read.
  std::optional<std::vector<std::uint16_t>> serial;
  bool refuses_open = false;    // the system refuses every open
  bool held_elsewhere = false;  // another user holds it open: exclusive opens are refused
  bool ids_unreadable = false;
  // Absent: in no list built while so, and no open finds it. Changing it between two steps of a
  // walk is a device arriving or leaving; the indices of lists built earlier stay as they were.
  bool present = true;
  bool path_unreadable = false;  // the path lookup fails
  long holder = 0;               // held_elsewhere: the holding process, as a description tells
  WriteBehaviour write;
  ReadBehaviour read;
  // Input reports that arrived and were not read yet, oldest first; a read takes the oldest at
  // once, before any reply of its own.
  std::vector<std::vector<std::uint8_t>> queued;
  // A read cancelled after its time-out still gets its reply later: the reply joins `queued`.
  bool late_replies = false;
  // DiscardQueuedInput fails with this error number (0: it succeeds).
  std::uint32_t discard_error = 0;
};

// Units of an ASCII serial number.
std::vector<std::uint16_t> Units(const std::string& text);

// A module under mode 0 with a readable serial number.
SimInterface Module(std::string path, std::uint16_t vendor, std::uint16_t product,
                    const std::string& serial);
// A HID interface that is not a module (keyboard, mouse, other vendors).
SimInterface OtherDevice(std::string path, std::uint16_t vendor, std::uint16_t product);

// Operations, as counted for the fault sweep and recorded in the trace.
enum class Op {
  kGetHidClass,
  kOpenInterfaceList,
  kGetInterfaceAt,
  kGetInterfacePath,
  kOpenDevicePath,
  kOpenRefusal,
  kDescribeInterface,  // value: 1 when the serial-number string was asked for
  kLockMachineWalks,
  kUnlockMachineWalks,
  kGetDeviceIds,
  kGetSerialUnits,
  kCreateCompletionEvent,
  kDiscardQueuedInput,
  kStartWrite,
  kStartRead,
  kWaitCompletion,
  kGetCompletedCount,
  kCancelPending,
  kAwaitCancelled,
  kClose,
  kCloseEvent,
  kReleasePathBlock,
  kCloseInterfaceList,
};

struct TraceEntry {
  Op op;
  int interface_index;  // the device's interface index, or -1
  std::uint32_t value;  // operation-specific: list index, wait result, byte count ...
};

class SimulatedPlatform final : public HidPlatform {
 public:
  SimulatedPlatform() = default;
  explicit SimulatedPlatform(std::vector<SimInterface> interfaces);

  std::vector<SimInterface> interfaces;

  // True: interfaces are described without opening them, as on Linux (a device whose IDs cannot
  // be read is left to an open). False: nothing is known without an open, as on Windows, and
  // walks take the machine-wide walk lock that this layer hands out.
  bool describes = false;

  // Makes the k-th acquiring or transfer operation (counted from 1) fail in its own way: a null
  // list, a failed lookup of one entry, no path block, a refused open, unreadable IDs or serial, no
  // event, a start or a discard failing with error 31, a failed wait. 0: nothing fails.
  std::uint64_t fail_operation = 0;
  // Makes that operation throw std::runtime_error instead.
  bool fail_throws = false;
  // Makes the next operation of this kind throw std::runtime_error.
  std::optional<Op> throw_on;
  // Makes event creation fail.
  bool events_fail = false;
  // Forces every wait to this result (e.g. kWaitFailed).
  std::optional<std::uint32_t> wait_result;
  // Called with each operation as it is recorded, before it reads the flags, IDs or serial of
  // the device it acts on: a test can change a device or the module mode between two steps. It
  // must not call the platform itself.
  std::function<void(const TraceEntry&)> before_operation;

  // --- What happened ---------------------------------------------------------------------
  std::vector<TraceEntry> trace() const;
  std::size_t CountOps(Op op) const;
  std::uint64_t operations() const;  // operations that the fault sweep can target, so far
  // Releases of something not handed out or already released (each is a defect).
  std::vector<std::string> release_errors() const;
  std::size_t open_lists() const;
  std::size_t open_path_blocks() const;
  std::size_t open_events() const;
  std::size_t open_handles() const;
  std::size_t held_walk_locks() const;
  // Handles open now, by the interface index they belong to.
  std::vector<int> open_handle_interfaces() const;
  // Transfers that reported 997 and were neither completed nor awaited after a cancel.
  std::size_t unfinished_transfers() const;
  // Everything released exactly once, except `handles_kept` device handles.
  bool Balanced(std::size_t handles_kept = 0) const;
  std::string Describe() const;
  // Interface index behind an open handle, or -1.
  int InterfaceOf(DeviceHandle h) const;
  // The bytes of the last write on an interface.
  std::vector<std::uint8_t> last_written(int interface_index) const;

  // --- HidPlatform -----------------------------------------------------------------------
  HidClass GetHidClass() override;
  InterfaceListToken OpenInterfaceList(const HidClass& cls) override;
  InterfaceLookup GetInterfaceAt(InterfaceListToken list, const HidClass& cls, std::uint32_t index,
                                 InterfaceRecord& out) override;
  PathBlock GetInterfacePath(InterfaceListToken list, const InterfaceRecord& record) override;
  void ReleasePathBlock(PathBlock block) override;
  void CloseInterfaceList(InterfaceListToken list) override;
  DeviceHandle OpenDevicePath(const char* path) override;
  std::uint32_t OpenRefusal(const char* path) override;
  Description DescribeInterface(const char* path, InterfaceFacts& facts,
                                SerialUnits* units) override;
  WalkLockToken LockMachineWalks(std::uint32_t limit_ms) override;
  void UnlockMachineWalks(WalkLockToken token) override;
  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) override;
  bool GetSerialUnits(DeviceHandle h, SerialUnits& units) override;
  bool Close(DeviceHandle h) override;
  EventToken CreateCompletionEvent() override;
  void CloseEvent(EventToken event) override;
  std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   TransferRecord& record) override;
  StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord& record) override;
  StartOutcome StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                         TransferRecord& record) override;
  std::uint32_t WaitCompletion(DeviceHandle h, TransferRecord& record,
                               std::uint32_t limit_ms) override;
  void CancelPending(DeviceHandle h) override;
  std::uint32_t GetCompletedCount(DeviceHandle h, TransferRecord& record) override;
  void AwaitCancelled(DeviceHandle h, TransferRecord& record) override;

 private:
  // What this layer knows of a transfer, by record address.
  struct Transfer {
    int interface_index = -1;
    bool is_read = false;
    Completion completion = Completion::kAtOnce;
    bool finished = false;
    bool cancelled = false;
    std::uint8_t* buffer = nullptr;
    std::uint32_t size = 0;
  };

  bool Step(Op op, int interface_index, std::uint32_t value, bool counts_for_faults);
  void Record(Op op, int interface_index, std::uint32_t value);
  void ReleaseError(const std::string& what);
  // Hands the scripted interfaces, as they are now, to the simulated platform; Settle brings its
  // queued input back into `queued`.
  void Sync();
  void Settle();
  Transfer* TransferOf(TransferRecord& record);
  StartOutcome Start(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n, TransferRecord& record,
                     bool is_read);

  mutable std::recursive_mutex mutex_;
  SimulatedHidPlatform devices_{{}, SimulatedTime::kInstant};
  std::vector<TraceEntry> trace_;
  std::uint64_t operations_ = 0;
  std::uintptr_t next_token_ = 0x1000;
  std::set<std::uintptr_t> lists_, blocks_, events_, walk_locks_;
  std::map<std::uintptr_t, int> handles_;         // handle -> interface index
  std::map<std::uintptr_t, Transfer> transfers_;  // keyed by record address
  std::vector<std::string> release_errors_;
};

}  // namespace ksv::test
