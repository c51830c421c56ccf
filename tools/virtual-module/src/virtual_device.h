// One virtual device as ksv-virtual-module drives it, whichever kernel interface makes it:
// uhid (uhid_device.h) or a USB gadget on a device controller (usb_gadget_device.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ksv::tool {

// What the device's side saw.
struct DeviceEvent {
  bool output = false;             // an output report, as the host wrote it (report ID first)
  const char* name = "";           // otherwise what happened, for tracing
  std::vector<std::uint8_t> data;  // the output report
};

class VirtualDevice {
 public:
  VirtualDevice() = default;
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;
  virtual ~VirtualDevice() = default;

  // The descriptor to poll for POLLIN, or -1 when there is nothing to wait for (unplugged, or a
  // module that never takes an output report).
  virtual int fd() const = 0;
  // Waits until the host has made the device's hidraw node and returns its path.
  virtual std::string WaitForHidraw(std::chrono::milliseconds timeout) = 0;
  // Reads one pending event; false if there is none.
  virtual bool ReadEvent(DeviceEvent& event) = 0;
  // Sends an input report exactly as given (report ID byte first).
  virtual void SendInput(const std::vector<std::uint8_t>& data) = 0;
  // Takes the device away from the host, keeping what it is; Plug brings it back.
  virtual void Unplug() = 0;
  virtual void Plug() = 0;
};

}  // namespace ksv::tool
