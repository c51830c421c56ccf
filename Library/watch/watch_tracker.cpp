#include "watch/watch_tracker.h"

namespace ksv {

bool WatchTracker::IsModule(DeviceIdentity ids) const {
  return ids == wanted_.first || (wanted_.count > 1 && ids == wanted_.second);
}

std::vector<WatchTracker::Known>::iterator WatchTracker::Find(const char* key) {
  for (auto it = known_.begin(); it != known_.end(); ++it) {
    if (it->key == key) {
      return it;
    }
  }
  return known_.end();
}

void WatchTracker::Arrive(const InterfaceChange& change) {
  const auto known = Find(change.key.data());
  if (known != known_.end()) {
    known->seen = true;  // reported already: a sweep or a repeated notification shows it again
    return;
  }
  if (!change.ids_read || !IsModule(change.ids)) {
    return;
  }
  WatchEvent event;
  event.arrived = true;
  event.ids = change.ids;
  event.held = change.held;
  if (change.serial_read) {
    NarrowSerialUnits(change.units, event.serial.data());
  }
  known_.push_back(Known{change.key.data(), event, true});
  queued_.push_back(event);
}

std::vector<WatchTracker::Known>::iterator WatchTracker::Leave(std::vector<Known>::iterator known) {
  WatchEvent event = known->arrival;
  event.arrived = false;
  queued_.push_back(event);
  return known_.erase(known);
}

void WatchTracker::Take(const InterfaceChange& change) {
  switch (change.kind) {
    case InterfaceChange::Kind::kArrived:
      Arrive(change);
      break;
    case InterfaceChange::Kind::kLeft: {
      const auto known = Find(change.key.data());
      if (known != known_.end()) {
        Leave(known);
      }
      break;
    }
    case InterfaceChange::Kind::kSweepBegin:
      sweeping_ = true;
      for (Known& k : known_) {
        k.seen = false;
      }
      break;
    case InterfaceChange::Kind::kSweepEnd:
      if (sweeping_) {
        // In the order they arrived, so that departures keep the arrivals' order.
        for (auto it = known_.begin(); it != known_.end();) {
          it = it->seen ? it + 1 : Leave(it);
        }
      }
      sweeping_ = false;
      break;
  }
}

bool WatchTracker::Pop(WatchEvent& out) {
  if (queued_.empty()) {
    return false;
  }
  out = queued_.front();
  queued_.pop_front();
  return true;
}

}  // namespace ksv
