// Shared frame of the device suite: the table of the seven exports, checks, and what differs
// between the platforms the suite runs on.
#pragma once

#include <cstdio>
#include <functional>

#include "KSVHidApi.h"
#include "checks.h"
#include "export_table.h"

namespace ksv::test {

using Exports = ksv::tool::ExportTable;

struct Options {
  bool walk_order_is_creation_order = true;  // hidraw node order; Wine lists in its own order
  bool exclusive_opens = true;               // Wine does not enforce exclusive opens
  // Whether a module whose serial number has non-ASCII characters can be opened. Wine builds the
  // device path from the serial number, and the path's narrow form then names no device.
  bool non_ascii_serials_open = true;
  // What a module without a serial number gives as its text, where the HID stack makes one up
  // (Wine: "0000"); null when its serial number cannot be read.
  const char* absent_serial_text = nullptr;
  // Runs OpenKestrovanHID in another process; gives its result (unset: not available).
  std::function<int(const char* serial)> second_process_open;
  // Where a handle carries a descriptor: opens a temporary file while the closed handle's
  // descriptor number is free, runs `act`, and tells whether the file took that number, stayed
  // empty and stayed open (unset: not available).
  std::function<bool(KSVHidHandle closed, const std::function<void()>& act)> with_descriptor_reused;
};

void PrintDevices();
// Waits until every module of the table is listed in mode 0; a failed check if they never are.
bool WaitForModules(const Exports& api, int seconds);
bool WaitForModules(const Exports& api, const Options& options, int seconds);
void RunScenarios(const Exports& api, const Options& options);
// Median round trip over many exchanges with an answering module, in milliseconds.
double MedianRoundTripMs(const Exports& api, int exchanges);

}  // namespace ksv::test
