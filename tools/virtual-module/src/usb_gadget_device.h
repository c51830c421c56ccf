// One virtual module as a USB device: a configfs gadget with one HID function (f_hid), bound to a
// USB device controller (dummy_hcd's, whose host side is in the same machine, or any other named
// one). The host then sees it as any USB HID device: enumerated by usbcore, its serial number a
// UTF-16 string descriptor, its reports on interrupt endpoints through usbhid to /dev/hidrawN.
// The device's side ("firmware") reads output reports from /dev/hidgN and writes input reports to
// it. Unplug unbinds the controller (a USB disconnect), Plug binds it again.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_description.h"
#include "unique_fd.h"
#include "virtual_device.h"

namespace ksv::tool {

class UsbGadgetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UsbGadgetDevice final : public VirtualDevice {
 public:
  // Makes gadget `name` under configfs and binds it to the description's controller (or the first
  // dummy_udc that no gadget uses). Needs configfs mounted, libcomposite and usb_f_hid.
  UsbGadgetDevice(const DeviceDescription& description, std::string name);
  ~UsbGadgetDevice() override;

  int fd() const override;
  std::string WaitForHidraw(std::chrono::milliseconds timeout) override;
  bool ReadEvent(DeviceEvent& event) override;
  // Drops the report (with a message) when the host has not taken the previous one in time.
  void SendInput(const std::vector<std::uint8_t>& data) override;
  void Unplug() override;
  void Plug() override;

 private:
  void Build(const DeviceDescription& description);
  void TearDown() noexcept;

  std::string gadget_;  // the gadget's configfs directory
  std::string udc_;
  bool never_take_ = false;
  bool plugged_ = false;
  std::uint16_t vendor_ = 0;
  std::uint16_t product_ = 0;
  std::vector<std::string> made_;      // directories and links made, in order
  std::vector<std::string> previous_;  // device-tree paths of the hidraw nodes before the last bind
  UniqueFd hidg_;
};

}  // namespace ksv::tool
