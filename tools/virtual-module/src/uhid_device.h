// One virtual HID device on /dev/uhid.  The device exists while the uhid file descriptor is open
// (from construction, or Plug, until Unplug or destruction).
#pragma once

#include <linux/uhid.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_description.h"
#include "unique_fd.h"
#include "virtual_device.h"

namespace ksv::tool {

class UhidError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UhidDevice final : public VirtualDevice {
 public:
  // Creates the device (UHID_CREATE2, bus USB).  `phys` must be unique: it is
  // how the hidraw node of this device is found in sysfs.
  UhidDevice(const DeviceDescription& description, std::string phys);

  int fd() const override { return fd_.get(); }
  std::string WaitForHidraw(std::chrono::milliseconds timeout) override;
  // Refuses GET_REPORT / SET_REPORT requests itself (the descriptors declare no feature reports).
  bool ReadEvent(DeviceEvent& event) override;
  void SendInput(const std::vector<std::uint8_t>& data) override;
  void Unplug() override { fd_.reset(); }
  void Plug() override;

 private:
  void Write(const uhid_event& event) const;
  void RefuseGetReport(std::uint32_t request_id) const;
  void RefuseSetReport(std::uint32_t request_id) const;

  DeviceDescription description_;
  UniqueFd fd_;
  std::string phys_;
  std::unique_ptr<uhid_event> event_ = std::make_unique<uhid_event>();
};

// Event names for tracing.
const char* EventName(std::uint32_t type);

}  // namespace ksv::tool
