#include "platform/linux/linux_transfer.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/linux/linux_errno.h"

namespace ksv {
namespace {

// What a transfer record holds: where a started read will deliver its report.
struct LinuxTransfer {
  int fd = -1;
  std::uint8_t* buffer = nullptr;
  std::uint32_t size = 0;
  std::uint32_t count = 0;
  bool finished = false;
};
static_assert(sizeof(LinuxTransfer) <= sizeof(TransferRecord::storage), "record storage");

LinuxTransfer& TransferOf(TransferRecord& record) {
  return *std::launder(reinterpret_cast<LinuxTransfer*>(record.storage.data()));
}

// A USB transfer that a disconnect cut off fails a little before the HID layer takes the device
// away; a failure that may be a removal waits this long for it (a genuine fault pays it once).
constexpr int kRemovalSettleMs = 1000;

// Whether the device behind the descriptor has left, waiting up to `settle_ms` for it to do so.
// hidraw sets POLLHUP | POLLERR on every descriptor of a device that is gone, and wakes the
// descriptor's waiters when it goes; nothing else wakes a poll for no events.
bool DeviceGone(int fd, int settle_ms) {
  pollfd p{fd, 0, 0};
  for (;;) {
    const int ready = poll(&p, 1, settle_ms);
    if (ready >= 0 || errno != EINTR) {
      return ready > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
    }
  }
}

// The Windows error number of a failed read or write on the descriptor: the removal's own when
// the device is gone, else the errno's.
std::uint32_t TransferError(int fd, int error, TransferDirection direction) {
  if (MaySignalRemoval(error) && DeviceGone(fd, kRemovalSettleMs)) {
    return kErrorDeviceNotConnected;
  }
  return WindowsErrorOf(error, direction);
}

}  // namespace

std::uint32_t DiscardQueued(int fd, std::uint8_t* scratch, std::uint32_t n) {
  // Each read takes one queued report, EAGAIN says none is left. Any other failure ends the
  // exchange before anything is written (EIO: the device is gone).
  for (std::uint32_t discarded = 0; discarded < kMaxDiscardedReports;) {
    if (read(fd, scratch, n) >= 0) {
      ++discarded;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    } else if (errno != EINTR) {
      return TransferError(fd, errno, TransferDirection::kRead);
    }
  }
  return 0;
}

StartOutcome WriteAll(int fd, const std::uint8_t* bytes, std::uint32_t n, TransferRecord& record) {
  LinuxTransfer& t = *new (record.storage.data()) LinuxTransfer{};
  const ssize_t written = write(fd, bytes, n);
  if (written < 0) {
    return {false, TransferError(fd, errno, TransferDirection::kWrite), 0};
  }
  t.finished = true;
  t.count = static_cast<std::uint32_t>(written);
  return {true, 0, t.count};
}

// The read() itself is made by FinishTransfer, once poll() has seen a report (or the device
// leave). A report is hardly ever waiting right after the write, so trying the read first would
// only add a system call to every exchange.
StartOutcome BeginRead(int fd, std::uint8_t* bytes, std::uint32_t n, TransferRecord& record) {
  LinuxTransfer& t = *new (record.storage.data()) LinuxTransfer{};
  t.fd = fd;
  t.buffer = bytes;
  t.size = n;
  return {false, kIoPending, 0};
}

std::uint32_t AwaitReport(TransferRecord& record, std::uint32_t limit_ms) {
  if (record.event == nullptr) {
    return kWaitFailed;
  }
  const LinuxTransfer& t = TransferOf(record);
  if (t.finished) {
    return kWaitSignalled;
  }
  // A report waiting, or an error or hang-up after the device left, both end the wait.
  pollfd p{t.fd, POLLIN, 0};
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  long remaining = static_cast<long>(limit_ms);
  for (;;) {
    const int ready = poll(&p, 1, static_cast<int>(remaining));
    if (ready > 0) {
      return kWaitSignalled;
    }
    if (ready == 0) {
      return kWaitTimedOut;
    }
    if (errno != EINTR) {
      return kWaitFailed;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    remaining = std::max(0L, static_cast<long>(limit_ms) - elapsed);
  }
}

std::uint32_t FinishTransfer(TransferRecord& record) {
  LinuxTransfer& t = TransferOf(record);
  if (!t.finished) {
    const ssize_t got = read(t.fd, t.buffer, t.size);
    // EAGAIN: poll() was woken without a report, which no failure explains; nothing arrived.
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      record.error = TransferError(t.fd, errno, TransferDirection::kRead);
    }
    t.count = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    t.finished = true;
  }
  return t.count;
}

}  // namespace ksv
