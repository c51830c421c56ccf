// OwedReplies: the replies that modules still owe for commands whose exchange gave up on them.
//
// A module answers its commands in order. When an exchange stops waiting for a reply after its
// command was written, the reply may still come; read by the next exchange, it would pass for the
// answer to the next command, and every exchange after it would be one reply behind. The ledger
// remembers, per module device (not per handle: the system reuses handle values, and a program
// that closes and reopens a module after a time-out talks to the same module), how many replies
// it owes and until when they are waited for.
//
// Threads: an exchange on a device that owes nothing takes no lock: it reads one counter while no
// device owes anything, and scans the slots' atomic device keys otherwise. Recording, reading and
// settling a debt take the ledger's mutex, which is never held across a wait.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace ksv {

using OwedClock = std::chrono::steady_clock;

// What one device owes: `replies` replies, each waited for until `until` at the latest.
struct OwedDebt {
  std::uint32_t replies = 0;
  OwedClock::time_point until{};
};

class OwedReplies {
 public:
  // Devices that can owe at once. A further one takes the place of the debt whose wait ends
  // first; a device that loses its record is waited for no longer.
  static constexpr std::size_t kDevices = 32;

  // True when any device owes a reply: the only check an exchange makes while none does.
  bool Any() const { return owing_.load(std::memory_order_acquire) != 0; }

  // What `device` owes; nothing when it owes nothing or its wait has ended (the record is then
  // dropped). Device 0 (a device the platform cannot name) never owes. The clock is read only for
  // a device that has a record.
  std::optional<OwedDebt> Find(std::uint64_t device);

  // One more reply owed by `device`; its replies are waited for until `until`.
  void Owe(std::uint64_t device, OwedClock::time_point until);

  // `device` owes nothing (any more).
  void Settle(std::uint64_t device);

 private:
  struct Slot {
    std::atomic<std::uint64_t> device{0};  // 0: free; set last, cleared first, under the mutex
    OwedDebt debt;                         // guarded by the mutex
  };

  // Under the mutex: empties a taken slot.
  void Free(Slot& slot);

  std::mutex mutex_;
  std::atomic<std::uint32_t> owing_{0};  // slots taken
  std::array<Slot, kDevices> slots_{};
};

// The ledger of this process: the one the exports keep.
OwedReplies& ProcessOwedReplies();

}  // namespace ksv
