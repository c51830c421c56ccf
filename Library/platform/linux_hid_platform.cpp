// HidPlatform on Linux. Device handles carry a file descriptor as descriptor + 1, so that null and
// all-ones keep their meaning and descriptor 0 is a valid handle.
//
// This first realisation lists no HID interfaces: the library loads, reports its version, keeps
// its mode and closes descriptors, but finds no modules yet.
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {
namespace {

int DescriptorOf(DeviceHandle h) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(h) - 1);
}

class LinuxHidPlatform final : public HidPlatform {
 public:
  HidClass GetHidClass() override { return {}; }
  InterfaceListToken OpenInterfaceList(const HidClass&) override { return nullptr; }
  bool GetInterfaceAt(InterfaceListToken, const HidClass&, std::uint32_t,
                      InterfaceRecord&) override {
    return false;
  }
  PathBlock GetInterfacePath(InterfaceListToken, const InterfaceRecord&) override { return {}; }
  void ReleasePathBlock(PathBlock) override {}
  void CloseInterfaceList(InterfaceListToken) override {}
  DeviceHandle OpenDevicePath(const char*) override { return InvalidDeviceHandle(); }
  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle) override { return std::nullopt; }
  bool GetSerialUnits(DeviceHandle, SerialUnits&) override { return false; }
  void Close(DeviceHandle h) override { close(DescriptorOf(h)); }
  EventToken CreateCompletionEvent() override { return nullptr; }
  void CloseEvent(EventToken) override {}
  StartOutcome StartWrite(DeviceHandle, const std::uint8_t*, std::uint32_t,
                          TransferRecord&) override {
    return {false, kErrorInvalidHandle, 0};
  }
  StartOutcome StartRead(DeviceHandle, std::uint8_t*, std::uint32_t, TransferRecord&) override {
    return {false, kErrorInvalidHandle, 0};
  }
  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord&, std::uint32_t) override {
    return kWaitFailed;
  }
  void CancelPending(DeviceHandle) override {}
  std::uint32_t GetCompletedCount(DeviceHandle, TransferRecord&) override { return 0; }
  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}
};

}  // namespace

HidPlatform& NativePlatform() {
  static LinuxHidPlatform platform;
  return platform;
}

}  // namespace ksv
