// FaultInjectingPlatform: a HidPlatform that wraps another one for the tests of the logic.
//
// Every operation goes on to the wrapped platform. On the way this layer accounts for every
// interface list, path block, device handle, event and walk lock handed out, so that a test can
// assert that everything acquired was released exactly once; records a trace of the operations;
// can make the k-th operation fail, or throw, to sweep the failure paths; and injects, per device
// path, the faults that real devices show rarely. ScriptedPlatform puts it over simulated devices
// in instant time, which is what most tests script.
//
// Thread-safe: one recursive mutex serialises the operations, the wrapped platform's included
// (so wrap platforms that do not block for long), and lets before_operation change faults.
#pragma once

#include <cstdint>
#include <deque>
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

// How a transfer's start goes.
enum class Start {
  kAsWrapped,  // as the wrapped platform reports it
  kAtOnce,     // a read that can finish at its start reports completion there
  kPending,    // a write that finished at once reports 997; its wait sees the completion
  kNever,      // not passed on (the device never sees it): 997, and only a cancel ends it
};

// The faults of one device, by its path. A test may change them between two operations.
struct DeviceFaults {
  bool absent = false;  // in no list built while so; no open or description finds it
  bool path_unreadable = false;
  bool refuses_open = false;  // every open is refused, as for a user without access
  bool ids_unreadable = false;
  long holder = 0;  // the process that a description of the held device names
  Start write = Start::kAsWrapped;
  Start read = Start::kAsWrapped;
  std::optional<std::uint32_t> write_error;     // every write start fails with it
  std::optional<std::uint32_t> read_error;      // every read start fails with it
  std::optional<std::uint32_t> read_end_error;  // every started read ends with it, delivering 0
  std::optional<std::uint32_t> discard_error;   // every DiscardQueuedInput fails with it
  // Input that arrived and was not read yet (report ID first), oldest first: a read takes the
  // oldest before anything the device sends; DiscardQueuedInput drops all of it.
  std::deque<std::vector<std::uint8_t>> queued;
};

// Operations, as counted for the fault sweep and recorded in the trace.
enum class Op {
  kGetHidClass,
  kOpenInterfaceList,
  kGetInterfaceAt,
  kGetInterfacePath,
  kOpenDevicePath,
  kOpenRefusal,
  kDescribeInterface,  // value: 1 when the serial-number string was asked for
  kReadHolders,
  kHolderOf,
  kReleaseHolders,
  kLockMachineWalks,
  kUnlockMachineWalks,
  kGetDeviceIds,
  kGetSerialUnits,
  kDeviceKey,
  kCreateCompletionEvent,
  kDiscardQueuedInput,  // value: the injected reports it dropped
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
  int interface_index;  // the device's place in the wrapped platform's list, or -1
  std::uint32_t value;  // operation-specific: list index, wait limit, byte count ...
};

class FaultInjectingPlatform : public HidPlatform {
 public:
  explicit FaultInjectingPlatform(HidPlatform& wrapped);

  // What descriptions tell. kNothing: plays a system that tells nothing of an interface without
  // opening it (kOpenToTell). kIds: one that tells the IDs only (kIdentified), as Windows does.
  // Both have a machine-wide walk lock, this layer's own. kAll: descriptions, holders and the walk
  // lock go to the wrapped platform, which describes as Linux does.
  enum class Telling { kNothing, kIds, kAll };
  Telling tells = Telling::kNothing;
  // Makes the k-th acquiring or transfer operation (counted from 1) fail in its own way: a null
  // list, a failed lookup of one entry, no path block, a refused open, unreadable IDs or serial, no
  // event, a start or a discard failing with error 31, a failed wait. 0: nothing fails.
  std::uint64_t fail_operation = 0;
  bool fail_throws = false;    // that operation throws std::runtime_error instead
  std::optional<Op> throw_on;  // the next operation of this kind throws std::runtime_error
  std::optional<std::uint32_t> wait_result;  // every wait gives this (e.g. kWaitFailed)
  // Called with each operation as it is recorded, before it reads the faults: a test can change
  // a device's faults or the module mode between two steps. It must not call the platform.
  std::function<void(const TraceEntry&)> before_operation;

  DeviceFaults& faults(const std::string& path);

  // --- What happened (read while no operation runs) ----------------------------------------
  const std::vector<TraceEntry>& trace() const { return trace_; }
  std::size_t CountOps(Op op) const;
  std::uint64_t operations() const { return operations_; }  // what the fault sweep can target
  // Releases of something not handed out or already released, and other misuse (each a defect).
  const std::vector<std::string>& release_errors() const { return release_errors_; }
  std::size_t open_lists() const { return lists_.size(); }
  std::size_t open_path_blocks() const { return blocks_.size(); }
  // Everything released exactly once, and every started transfer finished, except
  // `handles_kept` device handles.
  bool Balanced(std::size_t handles_kept = 0) const;
  std::string Describe() const;
  std::string PathOf(DeviceHandle h) const;  // "" for a handle not handed out
  int InterfaceOf(DeviceHandle h) const { return IndexOf(PathOf(h)); }
  std::vector<std::uint8_t> last_written(const std::string& path) const {
    return written_.count(path) == 1 ? written_.at(path) : std::vector<std::uint8_t>{};
  }

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
  HoldersToken ReadHolders() override;
  Holding HolderOf(HoldersToken holders, const char* path, const InterfaceFacts& facts) override;
  void ReleaseHolders(HoldersToken holders) override;
  WalkLockToken LockMachineWalks(std::uint32_t limit_ms) override;
  void UnlockMachineWalks(WalkLockToken token) override;
  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) override;
  bool GetSerialUnits(DeviceHandle h, SerialUnits& units) override;
  bool Close(DeviceHandle h) override;
  // The wrapped platform's key, made distinct per layer: ledgers that outlive one test's
  // platform never take another platform's device for their own.
  std::uint64_t DeviceKey(DeviceHandle h) override;
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
  struct Transfer {
    std::uintptr_t handle;
    bool is_read;
    bool own;    // not passed on: this layer finishes it
    bool never;  // own, and only a cancel ends it
    bool finished;
    bool cancelled;
    std::uint32_t count;  // own: the bytes it delivers
    std::uint8_t* buffer;
    std::uint32_t size;
  };
  using Guard = std::lock_guard<std::recursive_mutex>;

  bool Step(Op op, int interface_index, std::uint32_t value, bool counts_for_faults);
  std::vector<std::string> PathsOf(InterfaceListToken list);
  int IndexOf(const std::string& path) const;
  bool Pending(TransferRecord& record) const;
  StartOutcome StartTransfer(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                             TransferRecord& record, bool is_read);
  std::size_t UnfinishedTransfers() const;

  HidPlatform& wrapped_;
  mutable std::recursive_mutex mutex_;
  std::vector<std::string> known_paths_;  // by place in the wrapped platform's list
  std::map<std::string, DeviceFaults> faults_;
  std::vector<TraceEntry> trace_;
  std::uint64_t operations_ = 0;
  std::uintptr_t next_token_ = 0x1000;
  const std::uint64_t layer_;  // this layer's number, for its device keys
  // By the wrapped list's token: the places in it of the interfaces present when it was built.
  std::map<std::uintptr_t, std::vector<std::uint32_t>> lists_;
  std::map<std::uintptr_t, std::string> handles_;  // -> path
  std::map<std::uintptr_t, bool> walk_locks_;      // -> this layer's own
  std::set<std::uintptr_t> holders_;               // looks at the holders handed out
  // A multiset: a platform may hand out one token for every event.
  std::multiset<std::uintptr_t> blocks_, events_;
  std::map<std::string, std::vector<std::uint8_t>> written_;
  std::map<std::uintptr_t, Transfer> transfers_;  // by record address
  std::vector<std::string> release_errors_;
};

// Instant time, for tests: every delay passes at once, and a wait for something that is not
// there yet ends at once (the platform gives kWaitTimedOut).
class InstantTime final : public SimulatedTime {
 public:
  Clock::duration Delay(std::uint32_t) const override { return Clock::duration::zero(); }
  bool WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&,
                 Clock::time_point) const override {
    return false;
  }
};
inline const InstantTime kInstantTime{};

// Simulated devices in instant time, held for the layer that wraps them.
struct InstantDevices {
  explicit InstantDevices(std::vector<SimulatedDevice> list)
      : devices(std::move(list), kInstantTime) {}
  SimulatedHidPlatform devices;
};

// Simulated devices in instant time under the layer.
class ScriptedPlatform : private InstantDevices, public FaultInjectingPlatform {
 public:
  explicit ScriptedPlatform(std::vector<SimulatedDevice> list = {})
      : InstantDevices(std::move(list)), FaultInjectingPlatform(devices) {}
};

// A module with a readable ASCII serial number, and an interface that is no module.
SimulatedDevice Module(std::string path, std::uint16_t vendor, std::uint16_t product,
                       const std::string& serial);
SimulatedDevice OtherDevice(std::string path, std::uint16_t vendor, std::uint16_t product);

}  // namespace ksv::test
