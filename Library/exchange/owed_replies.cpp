#include "exchange/owed_replies.h"

#include <algorithm>

namespace ksv {

std::optional<OwedDebt> OwedReplies::Find(std::uint64_t device) {
  if (device == 0) {
    return std::nullopt;
  }
  for (Slot& slot : slots_) {
    if (slot.device.load(std::memory_order_acquire) != device) {
      continue;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (slot.device.load(std::memory_order_relaxed) != device) {
      return std::nullopt;  // settled meanwhile
    }
    if (slot.debt.until <= OwedClock::now()) {
      Free(slot);  // waited for long enough: what did not come is lost
      return std::nullopt;
    }
    return slot.debt;
  }
  return std::nullopt;
}

void OwedReplies::Owe(std::uint64_t device, OwedClock::time_point until) {
  if (device == 0) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  Slot* free = nullptr;
  Slot* first_ending = &slots_.front();
  for (Slot& slot : slots_) {
    const std::uint64_t held = slot.device.load(std::memory_order_relaxed);
    if (held == device) {
      ++slot.debt.replies;
      slot.debt.until = std::max(slot.debt.until, until);
      return;
    }
    if (held == 0) {
      free = free != nullptr ? free : &slot;
    } else if (slot.debt.until < first_ending->debt.until) {
      first_ending = &slot;
    }
  }
  Slot& slot = free != nullptr ? *free : *first_ending;
  if (free == nullptr) {
    Free(slot);
  }
  slot.debt = OwedDebt{1, until};
  owing_.fetch_add(1, std::memory_order_relaxed);
  slot.device.store(device, std::memory_order_release);
}

void OwedReplies::Settle(std::uint64_t device) {
  if (device == 0) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (Slot& slot : slots_) {
    if (slot.device.load(std::memory_order_relaxed) == device) {
      Free(slot);
      return;
    }
  }
}

void OwedReplies::Free(Slot& slot) {
  slot.device.store(0, std::memory_order_release);
  slot.debt = OwedDebt{};
  owing_.fetch_sub(1, std::memory_order_release);
}

OwedReplies& ProcessOwedReplies() {
  static OwedReplies ledger;
  return ledger;
}

}  // namespace ksv
