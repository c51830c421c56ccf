// Turning the system's interface changes into module events.
//
// The tracker keeps the modules it has reported as arrived, each with the IDs, serial number and
// held state it arrived with, and queues the events the changes make: an arrival of an interface
// that is a module under the watch's mode and not known yet, a departure of a known one, and at
// the end of a sweep a departure of every known module the sweep did not show. So each module
// arrives once and leaves once, in the order the system reported it, whatever the source repeats.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "core/module_mode.h"
#include "discovery/serial.h"
#include "platform/device_notifications.h"

namespace ksv {

struct WatchEvent {
  bool arrived = true;
  DeviceIdentity ids;
  HeldState held = HeldState::kUnknown;
  SerialText serial{};  // zero-terminated; empty when the serial number could not be read
};

class WatchTracker {
 public:
  explicit WatchTracker(ModeIdentities wanted) : wanted_(wanted) {}

  // Takes one change of the source and queues the events it makes.
  void Take(const InterfaceChange& change);
  // Takes the oldest queued event; false when none is queued.
  bool Pop(WatchEvent& out);

 private:
  struct Known {
    std::string key;
    WatchEvent arrival;
    bool seen = true;  // shown by the sweep in progress
  };

  bool IsModule(DeviceIdentity ids) const;
  std::vector<Known>::iterator Find(const char* key);
  void Arrive(const InterfaceChange& change);
  // Queues the departure of a known module and forgets it; the iterator after it.
  std::vector<Known>::iterator Leave(std::vector<Known>::iterator known);

  ModeIdentities wanted_;
  std::vector<Known> known_;
  std::deque<WatchEvent> queued_;
  bool sweeping_ = false;
};

}  // namespace ksv
