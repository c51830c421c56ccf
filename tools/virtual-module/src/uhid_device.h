// One virtual HID device on /dev/uhid.  The device exists from construction
// until destruction (closing the uhid file descriptor destroys it).
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

namespace ksv::tool {

class UhidError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UhidDevice {
 public:
  // Creates the device (UHID_CREATE2, bus USB).  `phys` must be unique: it is
  // how the hidraw node of this device is found in sysfs.
  UhidDevice(const DeviceDescription& description, std::string phys);

  int fd() const { return fd_.get(); }

  // Waits until the kernel has made the hidraw node and returns its path.
  std::string WaitForHidraw(std::chrono::milliseconds timeout) const;

  // Reads one pending event; false if there is none.
  bool ReadEvent(uhid_event& event) const;

  // Sends an input report exactly as given (report ID byte first).
  void SendInput(const std::vector<std::uint8_t>& data) const;

  // Refuses a GET_REPORT / SET_REPORT request (the descriptors declare no
  // feature reports).
  void RefuseGetReport(std::uint32_t request_id) const;
  void RefuseSetReport(std::uint32_t request_id) const;

 private:
  void Write(const uhid_event& event) const;

  UniqueFd fd_;
  std::string phys_;
};

// Event names for tracing.
const char* EventName(std::uint32_t type);

}  // namespace ksv::tool
