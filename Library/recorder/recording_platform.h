// RecordingPlatform: a HidPlatform in front of another one that writes what the library saw of the
// modules into a simulation file, so that the simulator replays it: every interface a walk looked
// at (IDs, serial number, held elsewhere), and for every module that was written to, its
// conversation: each command with what followed it (the reply and how long after the command it
// could be read, no reply within the wait, or the module leaving).
//
// Every operation goes on to the wrapped platform unchanged, so results and replies are the wrapped
// platform's. The file lists the interfaces first and then the steps of all conversations in the
// order they happened, one a line, each naming its module. A step is appended (one write, then
// flushed) once its transfer has ended, never while a transfer is waited on, so a process that is
// killed loses at most the exchange under way; only a walk that finds an interface changed writes
// the file again whole (beside it, then renamed over it).
//
// Thread-safe: one mutex guards what was seen and is never held across a wrapped operation that
// waits.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace ksv {

class RecordingPlatform final : public HidPlatform {
 public:
  // Records into `file`; an empty name records nothing.
  RecordingPlatform(HidPlatform& wrapped, std::string file);

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

  // The recording as it stands, in the simulation file's form.
  std::string Text() const;

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kCommandBytes = 63;

  struct Interface {
    std::string path;
    std::optional<DeviceIdentity> ids;
    std::optional<std::u16string> serial;
    bool held = false;
  };
  struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  // A command written and still waiting for what follows it.
  struct Command {
    std::size_t seen;  // its interface, by place in the walk order
    std::array<std::uint8_t, kCommandBytes> bytes;
    Clock::time_point written;
  };
  // A read started on a handle that has a command waiting.
  struct Read {
    std::uintptr_t handle;
    const std::uint8_t* buffer;
    Clock::time_point ended;
  };
  // A step: its interface (by place in interfaces_) and the rest of its line.
  struct Step {
    std::size_t seen;
    std::string rest;
  };

  // Under the mutex. A new interface that a walk (`list`) finds goes right after the one that walk
  // found before it, or first; one found outside a walk goes last.
  Interface& InterfaceAt(const std::string& path, InterfaceListToken list = nullptr);
  std::size_t PlaceOf(std::size_t seen) const;  // under the mutex: its module number in the file
  template <typename T>
  void Learn(std::optional<T>& known, const std::optional<T>& seen);  // under the mutex
  // Under the mutex: what followed the handle's waiting command, as the rest of its step line.
  void EndCommand(std::uintptr_t handle, const std::string& outcome);
  void ReplyArrived(std::uintptr_t handle, const std::uint8_t* bytes, std::uint32_t count,
                    Clock::time_point at);
  void Save();                    // under the mutex: the whole file
  void Append(const Step& step);  // under the mutex: one step at its end

  HidPlatform& wrapped_;
  const std::string file_;
  mutable std::mutex mutex_;
  std::string StepLine(const Step& step) const;  // under the mutex

  std::vector<Interface> interfaces_;  // in the order they were first seen
  // interfaces_ in walk order, as the file lists them: a walk that lists an interface found later
  // before others (Wine sorts by path) puts it in its place, and the steps' numbers follow.
  std::vector<std::size_t> order_;
  std::map<InterfaceListToken, std::size_t> walk_last_;  // per walk: the interface it found last
  std::map<std::string, std::size_t> by_path_;
  std::map<std::uintptr_t, std::size_t> handles_;  // open handle -> interface
  std::map<std::uintptr_t, Command> commands_;     // by handle
  std::map<const TransferRecord*, Read> reads_;
  std::vector<Step> steps_;  // every step, for a file written again whole
  bool changed_ = false;     // an interface changed since the file was written whole
  std::unique_ptr<std::FILE, CloseFile> out_;  // the file, kept open for appending
};

}  // namespace ksv
