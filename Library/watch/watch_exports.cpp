// The exports of KSVHidWatch.
//
// A handle is a number that names a watch in one table of the process, not its address, so that
// a call with a handle that another thread has just closed finds nothing instead of freed memory.
// Each watch counts the Next calls inside it; Close takes the watch out of the table, wakes its
// source, waits until no Next is inside, and then releases the source and everything else.
#include "KSVHidWatch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/device_notifications.h"
#include "watch/watch_tracker.h"

#if defined(__GNUC__) && !defined(_WIN32)
#define KSVHID_WATCH_EXPORT __attribute__((visibility("default")))
#else
#define KSVHID_WATCH_EXPORT  // Windows exports come from the module-definition file
#endif

namespace ksv {
namespace {

struct Watch {
  explicit Watch(ModeIdentities wanted) : tracker(wanted) {}

  std::unique_ptr<DeviceNotifications> source;
  std::mutex mutex;
  std::condition_variable left;  // a Next has left
  bool closing = false;          // guarded by mutex
  bool inside = false;           // a Next is running; guarded by mutex
  WatchTracker tracker;          // used by the one Next inside only
};

class WatchTable {
 public:
  KSVHidWatchHandle Add(std::shared_ptr<Watch> watch) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t number = ++last_;
    watches_[number] = std::move(watch);
    return reinterpret_cast<KSVHidWatchHandle>(number);
  }
  std::shared_ptr<Watch> Find(KSVHidWatchHandle handle) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = watches_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != watches_.end() ? it->second : nullptr;
  }
  std::shared_ptr<Watch> Remove(KSVHidWatchHandle handle) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = watches_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == watches_.end()) {
      return nullptr;
    }
    std::shared_ptr<Watch> watch = std::move(it->second);
    watches_.erase(it);
    return watch;
  }

 private:
  std::mutex mutex_;
  std::map<std::uintptr_t, std::shared_ptr<Watch>> watches_;
  std::uintptr_t last_ = 0;
};

WatchTable& Table() {
  static WatchTable table;
  return table;
}

int FreeOf(HeldState held) {
  switch (held) {
    case HeldState::kFree:
      return KSVHID_WATCH_FREE;
    case HeldState::kHeld:
      return KSVHID_WATCH_HELD;
    case HeldState::kUnknown:
      break;
  }
  return KSVHID_WATCH_UNKNOWN;
}

void Deliver(const WatchEvent& from, KSVHidWatchEvent* to) {
  to->kind = from.arrived ? KSVHID_WATCH_ARRIVED : KSVHID_WATCH_LEFT;
  to->free = FreeOf(from.held);
  to->vendor_id = from.ids.vendor;
  to->product_id = from.ids.product;
  static_assert(sizeof to->serial == sizeof from.serial, "serial text sizes");
  std::memcpy(to->serial, from.serial.data(), sizeof to->serial);
}

// The body of Next, for the one caller inside the watch.
int NextEvent(Watch& watch, int timeout_ms, KSVHidWatchEvent* event) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  WatchEvent found;
  InterfaceChange change;
  while (!watch.tracker.Pop(found)) {
    // Changes that make no event (other devices) do not lengthen the wait.
    int remaining = timeout_ms;
    if (timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      remaining = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }
    const int got = watch.source->Next(remaining, change);
    if (got < 0) {
      return KSVHID_WATCH_FAILED;
    }
    if (got == 0) {
      const std::lock_guard<std::mutex> lock(watch.mutex);
      return watch.closing ? KSVHID_WATCH_CLOSED : 0;
    }
    watch.tracker.Take(change);
  }
  Deliver(found, event);
  return 1;
}

}  // namespace
}  // namespace ksv

using ksv::Watch;

extern "C" {

KSVHID_WATCH_EXPORT int KSVHID_WATCH_CALL KSVHidWatchOpen(int mode, KSVHidWatchHandle* handle) {
  if (mode < ksv::kDefaultMode || mode > ksv::kSecondaryVendorMode) {
    return KSVHID_WATCH_BAD_MODE;
  }
  try {
    auto watch = std::make_shared<Watch>(ksv::IdentitiesFor(mode));
    watch->source = ksv::OpenNativeNotifications();
    if (watch->source == nullptr) {
      return KSVHID_WATCH_FAILED;
    }
    *handle = ksv::Table().Add(std::move(watch));
    return 1;
  } catch (...) {
    return KSVHID_WATCH_FAILED;
  }
}

KSVHID_WATCH_EXPORT int KSVHID_WATCH_CALL KSVHidWatchNext(KSVHidWatchHandle handle, int timeout_ms,
                                                          KSVHidWatchEvent* event) {
  try {
    const std::shared_ptr<Watch> watch = ksv::Table().Find(handle);
    if (watch == nullptr) {
      return KSVHID_WATCH_CLOSED;
    }
    {
      const std::lock_guard<std::mutex> lock(watch->mutex);
      if (watch->closing) {
        return KSVHID_WATCH_CLOSED;
      }
      if (watch->inside) {
        return KSVHID_WATCH_BUSY;
      }
      watch->inside = true;
    }
    int result = KSVHID_WATCH_FAILED;
    try {
      result = ksv::NextEvent(*watch, timeout_ms, event);
    } catch (...) {
      result = KSVHID_WATCH_FAILED;
    }
    {
      const std::lock_guard<std::mutex> lock(watch->mutex);
      watch->inside = false;
    }
    watch->left.notify_all();
    return result;
  } catch (...) {
    return KSVHID_WATCH_FAILED;
  }
}

KSVHID_WATCH_EXPORT int KSVHID_WATCH_CALL KSVHidWatchClose(KSVHidWatchHandle handle) {
  try {
    const std::shared_ptr<Watch> watch = ksv::Table().Remove(handle);
    if (watch == nullptr) {
      return 0;
    }
    std::unique_lock<std::mutex> lock(watch->mutex);
    watch->closing = true;
    watch->source->Wake();
    watch->left.wait(lock, [&] { return !watch->inside; });
    watch->source.reset();
    return 1;
  } catch (...) {
    return 0;
  }
}

KSVHID_WATCH_EXPORT const char* KSVHID_WATCH_CALL KSVHidWatchMethod(KSVHidWatchHandle handle) {
  try {
    const std::shared_ptr<Watch> watch = ksv::Table().Find(handle);
    if (watch == nullptr) {
      return nullptr;
    }
    const std::lock_guard<std::mutex> lock(watch->mutex);
    return watch->source != nullptr ? watch->source->Method() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
