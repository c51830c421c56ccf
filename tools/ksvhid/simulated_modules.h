// Simulated modules: a HidPlatform whose HID interfaces live in this process, so that the
// library's own discovery and exchange logic can be tried on a machine without hardware.
//
// Each simulated device answers the way its table entry says, after a latency of its own. Only
// the device IDs decide which of them the logic takes for modules under the current mode, exactly
// as with real devices. Used from one thread at a time (ksvhid is single-threaded).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace ksvhid {

// How a simulated device answers a command.
enum class Answer {
  kEchoPlusOne,  // the command bytes, each increased by one (ff wraps to 00)
  kEcho,         // the command bytes as they were sent
  kSilent,       // never: every read runs out of time
};

struct SimulatedDevice {
  std::string path;
  ksv::DeviceIdentity ids;
  std::u16string serial;  // UTF-16 units as the device reports them
  bool serial_readable = true;
  Answer answer = Answer::kEcho;
  std::uint8_t report_id = 1;      // of the reply
  std::uint32_t reply_bytes = 64;  // delivered per reply, report ID included
  std::uint32_t latency_ms = 0;    // from the start of a read until its reply
  std::string behaviour;           // for people: what a user sees
};

// The built-in set: a non-module first, then modules for every mode and each kind of answer.
const std::vector<SimulatedDevice>& BuiltInDevices();

class SimulatedPlatform;
// The one platform over the built-in set that SimulatedApi() calls go to.
SimulatedPlatform& BuiltInPlatform();

class SimulatedPlatform final : public ksv::HidPlatform {
 public:
  explicit SimulatedPlatform(std::vector<SimulatedDevice> devices);

  ksv::HidClass GetHidClass() override;
  ksv::InterfaceListToken OpenInterfaceList(const ksv::HidClass& cls) override;
  ksv::InterfaceLookup GetInterfaceAt(ksv::InterfaceListToken list, const ksv::HidClass& cls,
                                      std::uint32_t index, ksv::InterfaceRecord& out) override;
  ksv::PathBlock GetInterfacePath(ksv::InterfaceListToken list,
                                  const ksv::InterfaceRecord& record) override;
  void ReleasePathBlock(ksv::PathBlock block) override;
  void CloseInterfaceList(ksv::InterfaceListToken list) override;
  ksv::DeviceHandle OpenDevicePath(const char* path) override;
  std::uint32_t OpenRefusal(const char* path) override;
  std::optional<ksv::DeviceIdentity> GetDeviceIds(ksv::DeviceHandle h) override;
  bool GetSerialUnits(ksv::DeviceHandle h, ksv::SerialUnits& units) override;
  bool Close(ksv::DeviceHandle h) override;
  ksv::EventToken CreateCompletionEvent() override;
  void CloseEvent(ksv::EventToken event) override;
  std::uint32_t DiscardQueuedInput(ksv::DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   ksv::TransferRecord& record) override;
  ksv::StartOutcome StartWrite(ksv::DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                               ksv::TransferRecord& record) override;
  ksv::StartOutcome StartRead(ksv::DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                              ksv::TransferRecord& record) override;
  std::uint32_t WaitCompletion(ksv::DeviceHandle h, ksv::TransferRecord& record,
                               std::uint32_t limit_ms) override;
  void CancelPending(ksv::DeviceHandle h) override;
  std::uint32_t GetCompletedCount(ksv::DeviceHandle h, ksv::TransferRecord& record) override;
  void AwaitCancelled(ksv::DeviceHandle h, ksv::TransferRecord& record) override;

 private:
  // Index of the device behind an open handle, or -1.
  int DeviceOf(ksv::DeviceHandle h) const;

  std::vector<SimulatedDevice> devices_;
  std::vector<bool> open_;
  std::vector<std::vector<std::uint8_t>> written_;  // last output report, per device
};

}  // namespace ksvhid
