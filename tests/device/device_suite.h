// Shared frame of the device suite: the table of the seven exports, checks, and what differs
// between the platforms the suite runs on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "KSVHidApi.h"
#include "checks.h"
#include "export_table.h"

namespace ksv::test {

using Exports = ksv::tool::ExportTable;

// The beds the suite runs on: uhid devices (any number, no USB underneath), or USB modules
// (configfs gadgets on dummy_hcd) in two sets, since the kernel makes at most 4 USB HID functions
// at a time; the soak has a USB bed of its own. Each device of the table names the beds it exists
// on.
enum Bed : unsigned { kBedUhid = 1, kBedUsb1 = 2, kBedUsb2 = 4, kBedSoak = 8 };

// The bed that ksv-virtual-module made the devices for: $KSV_DEVICE_BED (uhid, usb1, usb2 or soak;
// unset: uhid). Unknown names give 0, on which nothing exists.
unsigned BedFromEnvironment();
// True for a USB bed.
constexpr bool IsUsbBed(unsigned bed) { return (bed & (kBedUsb1 | kBedUsb2 | kBedSoak)) != 0; }

struct Options {
  unsigned bed = kBedUhid;
  bool walk_order_is_creation_order = true;  // hidraw node order; Wine lists in its own order
  bool exclusive_opens = true;               // Wine does not enforce exclusive opens
  // What a module without a serial number gives as its text, where the HID stack makes one up
  // (Wine: "0000"); null when its serial number cannot be read.
  const char* absent_serial_text = nullptr;
  // Runs OpenKestrovanHID in another process; gives its result (unset: not available).
  std::function<int(const char* serial)> second_process_open;
  // Where a handle carries a descriptor: opens a temporary file while the closed handle's
  // descriptor number is free, runs `act`, and tells whether the file took that number, stayed
  // empty and stayed open (unset: not available).
  std::function<bool(KSVHidHandle closed, const std::function<void()>& act)> with_descriptor_reused;
  // Takes the module with this ksv-virtual-module id off the bus now (unset: not available).
  std::function<bool(const char* id)> unplug;
  // Puts an unplugged module back on the bus (unset: not available).
  std::function<bool(const char* id)> plug;
};

void PrintDevices();
// Whether a device with these IDs is a module in `mode`.
bool IsModuleIds(std::uint16_t vendor, std::uint16_t product, int mode);
// Waits until every module of the table is listed in mode 0; a failed check if they never are.
bool WaitForModules(const Exports& api, int seconds);
bool WaitForModules(const Exports& api, const Options& options, int seconds);
void RunScenarios(const Exports& api, const Options& options);
// Four threads on the soak bed's four modules for `seconds`: plain exchanges, late replies with
// immediate retries, dropped commands, reopens and (with unplug and plug) a module that leaves and
// comes back. Prints the totals; every reply of result 1 must be its own command's.
void Soak(const Exports& api, const Options& options, int seconds);
// Median round trip over many exchanges with an answering module, in milliseconds; -1 when the bed
// has none.
double MedianRoundTripMs(const Exports& api, int exchanges);
// The serial-number texts the library gives for the bed's modules of `mode`, as the scenarios
// leave them ("" for one whose serial number cannot be read).
std::vector<std::string> ModuleTexts(int mode, const Options& options);
// The control channel of ksv-virtual-module: $KSV_MODULE_CONTROL, a FIFO (empty when not given).
const char* ControlChannel();

}  // namespace ksv::test
