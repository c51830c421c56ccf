// SimulatedHidPlatform: HID devices that live in this process, so that the library's own discovery
// and exchange run on a machine without hardware (the simulator library, `ksvhid --simulated`,
// the unit tests).
//
// Each device answers a command the way its description says, after a delay of its own, in real
// (steady-clock) time: a silent device's wait runs out after the caller's limit. A reply is
// queued on the device when the command is written and becomes readable once its delay has
// passed, and never before the reply to an earlier command: a device answers in order, so a late
// reply holds back the next one. A reply that becomes readable only after a read gave up stays
// queued and is what the next read delivers, as a real device's input buffer keeps it; one that
// becomes readable while the device is closed is lost, as a system drops input nobody reads. As
// with real devices, a write finishes at its start and a read reports that it was started. Only the
// device IDs decide which devices the logic takes for modules, exactly as with real devices.
//
// Thread-safe: one mutex guards the state and is never held across a wait (waits use a condition
// variable). Different handles may be used from different threads at once.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace ksv {

// How a simulated device answers a command (the 63 bytes after the report ID).
enum class SimulatedReply {
  kEcho,          // the command as it was sent
  kPlusOne,       // every command byte plus one (ff wraps to 00)
  kInvert,        // every command byte inverted
  kSilent,        // never: every read runs out of time
  kFixed,         // `payload`, whatever the command
  kConversation,  // what `steps` says for the command
};

// One step of a conversation: a command and what the module does about it.
struct ConversationStep {
  static constexpr std::size_t kCommandBytes = 63;  // the bytes after the output report's ID
  enum class Outcome { kReply, kSilent, kLeaves, kSystemError };

  std::array<std::uint8_t, kCommandBytes> command{};
  std::array<std::uint8_t, kCommandBytes> mask{};  // set bits must match; all set unless masked
  Outcome outcome = Outcome::kReply;
  std::vector<std::uint8_t> reply;  // kReply: the input report as it arrives, report ID first
  std::uint32_t delay_ms = 0;       // kReply, kSystemError: from the command until the read ends
  std::uint32_t system_error = 0;   // kSystemError: the read ends with this (Windows-meaning) error
};

inline constexpr std::uint32_t kSimulatedReportBytes = 64;
inline constexpr std::uint32_t kSimulatedLongestDelayMs = 60000;

struct SimulatedDevice {
  std::string path;
  DeviceIdentity ids;
  // UTF-16 units as the device reports them; nothing: the serial number cannot be read.
  std::optional<std::u16string> serial;
  SimulatedReply reply = SimulatedReply::kEcho;
  std::vector<std::uint8_t> payload;             // kFixed: the reply bytes after the report ID
  std::uint8_t report_id = 1;                    // of every reply
  std::uint32_t length = kSimulatedReportBytes;  // bytes a reply delivers, report ID included
  std::uint32_t delay_ms = 0;                    // from the command until its reply is readable
  bool busy = false;  // held open by another program: listed, never opened
  // The device leaves during its (n+1)-th exchange: that exchange's read ends as a removed
  // device's read does, and the device is gone from later walks.
  std::optional<std::uint32_t> unplug_after;
  // kConversation: the steps, and whether each command must match the next step in order
  // (a command that matches no step gets no reply, and one line on standard error) or any step
  // answers the first command it matches (lookup).
  std::vector<ConversationStep> steps;
  bool lookup = false;
  std::string behaviour;  // for people: what a user sees (ksvhid help)
};

// How time passes for simulated devices: how long a device's own delay takes, and how a wait for
// something that is not there yet is waited out. The simulator runs in real time; a test may hand
// the platform a time of its own.
class SimulatedTime {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~SimulatedTime() = default;
  // How long a device with `delay_ms` of its own takes from a command until its reply.
  virtual Clock::duration Delay(std::uint32_t delay_ms) const = 0;
  // Waits on `changed`, with `lock` held, until `wake` or until it is notified; false when this
  // time does not wait, so that whatever has not come yet counts as not coming.
  virtual bool WaitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                         Clock::time_point wake) const = 0;
};

// Steady-clock time: delays and time limits as given.
const SimulatedTime& RealTime();

class SimulatedHidPlatform final : public HidPlatform {
 public:
  explicit SimulatedHidPlatform(std::vector<SimulatedDevice> devices,
                                const SimulatedTime& time = RealTime());

  HidClass GetHidClass() override;
  InterfaceListToken OpenInterfaceList(const HidClass& cls) override;
  InterfaceLookup GetInterfaceAt(InterfaceListToken list, const HidClass& cls, std::uint32_t index,
                                 InterfaceRecord& out) override;
  PathBlock GetInterfacePath(InterfaceListToken list, const InterfaceRecord& record) override;
  void ReleasePathBlock(PathBlock block) override;
  void CloseInterfaceList(InterfaceListToken list) override;
  DeviceHandle OpenDevicePath(const char* path) override;
  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) override;
  bool GetSerialUnits(DeviceHandle h, SerialUnits& units) override;
  bool Close(DeviceHandle h) override;
  std::uint64_t DeviceKey(DeviceHandle h) override;
  std::uint32_t OpenRefusal(const char* path) override;
  Description DescribeInterface(const char* path, InterfaceFacts& facts,
                                SerialUnits* units) override;
  HoldersToken ReadHolders() override;
  Holding HolderOf(HoldersToken holders, const char* path, const InterfaceFacts& facts) override;
  void ReleaseHolders(HoldersToken holders) override;
  WalkLockToken LockMachineWalks(std::uint32_t limit_ms) override;
  void UnlockMachineWalks(WalkLockToken token) override;
  std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   TransferRecord& record) override;
  EventToken CreateCompletionEvent() override;
  void CloseEvent(EventToken event) override;
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
  using Clock = std::chrono::steady_clock;

  struct QueuedReply {
    std::array<std::uint8_t, kSimulatedReportBytes> bytes{};
    std::uint32_t count = 0;
    Clock::time_point readable_at;
    std::uint32_t system_error = 0;  // not 0: the read that takes it ends with this error
  };
  struct DeviceState {
    SimulatedDevice description;
    bool open = false;
    bool gone = false;  // unplugged
    std::uint32_t exchanges = 0;
    std::deque<QueuedReply> replies;
    std::uint32_t commands = 0;  // a conversation's, across opens
    std::size_t next_step = 0;   // in sequence
  };
  struct Transfer;

  DeviceState* StateOf(DeviceHandle h);
  static void DropArrived(DeviceState& device, Clock::time_point now);
  // Tries to finish a read from the device's queue; true once the transfer has finished.
  bool TryFinishRead(Transfer& t, DeviceState& device, Clock::time_point now);
  Clock::time_point ReadableAt(const DeviceState& device, Clock::time_point now,
                               std::uint32_t delay_ms) const;
  void Queue(DeviceState& device, const std::uint8_t* bytes, std::uint32_t count,
             std::uint32_t delay_ms);
  void Converse(DeviceState& device, const std::uint8_t* bytes, std::uint32_t n);
  StartOutcome Start(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n, TransferRecord& record,
                     bool is_read);

  const SimulatedTime& time_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeviceState> devices_;
  std::map<std::uintptr_t, std::size_t> handles_;             // handle -> device
  std::map<std::uintptr_t, std::vector<std::size_t>> lists_;  // the devices present, per walk
  std::uintptr_t next_token_ = 0x5000;
};

// The built-in set: a non-module first, then modules for every mode and each kind of answer.
const std::vector<SimulatedDevice>& BuiltInSimulatedDevices();

// The devices a simulation file describes (the JSON format in docs/simulator.md), or nothing with
// `error` set to one line: the file, the module or line where known, and what is wrong.
std::optional<std::vector<SimulatedDevice>> LoadSimulation(const std::string& path,
                                                           std::string& error);
// The same for the text of a simulation file; `name` stands for the file in `error`.
std::optional<std::vector<SimulatedDevice>> ParseSimulation(const std::string& text,
                                                            const std::string& name,
                                                            std::string& error);

// The one line that reports a bad simulation file (without its line end).
std::string BadSimulationLine(const std::string& error);

}  // namespace ksv
