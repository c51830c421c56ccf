// HidPlatform over Linux hidraw.
//
// Interfaces are the hidraw nodes present now, in ascending node number. A device handle carries
// the node's file descriptor as descriptor + 1, so that null and all-ones keep their meaning and
// descriptor 0 is a valid handle. Opens are exclusive through an advisory lock, as the Windows
// share mode makes them. Error numbers are translated to the Windows numbers the exchange maps to
// its result codes (tabled in the README).
//
// How the start / wait / complete model of the table is realised here. hidraw has no overlapped
// I/O, and it needs none: a write is synchronous in the kernel, and an input report that nobody
// has read yet stays in the descriptor's queue, not in a buffer the kernel writes into later.
//   - StartWrite does the whole write() and reports it completed; its wait then returns at once.
//   - StartRead only records where the report should go and reports "started" (997).
//   - WaitCompletion is poll() on the descriptor, limited to the wait's time.
//   - GetCompletedCount is the read() itself, made once poll() saw a report (or the device leave).
//   - CancelPending and AwaitCancelled do nothing: an unread report is not lost and no buffer is
//     held by the kernel, so there is nothing to call off and nothing to wait for.
//   - A completion event is needed by no system call; the token is a non-null address only, so
//     that the logic's "event could not be made" path keeps its meaning.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/utf16_from_utf8.h"

namespace ksv {
namespace {

constexpr char kHidrawClassDir[] = "/sys/class/hidraw";
constexpr char kHidrawNodePrefix[] = "hidraw";
constexpr char kDevicePathFormat[] = "/dev/hidraw%u";
constexpr std::size_t kPathBlockSize = 32;
constexpr std::size_t kUniqBytes = 256;

// Windows error numbers produced here.
constexpr std::uint32_t kWinAccessDenied = kErrorAccessDenied;
constexpr std::uint32_t kWinNotEnoughMemory = 8;
constexpr std::uint32_t kWinOutOfMemory = 14;
constexpr std::uint32_t kWinWriteFault = 29;
constexpr std::uint32_t kWinReadFault = 30;
constexpr std::uint32_t kWinGenFailure = 31;
constexpr std::uint32_t kWinTooManyOpenFiles = 4;
constexpr std::uint32_t kWinInvalidParameter = 87;
constexpr std::uint32_t kWinDeviceNotConnected = 1167;

enum class Direction { kWrite, kRead };

// errno -> Windows error number. Tabled in the README.
std::uint32_t WindowsErrorOf(int error, Direction direction) {
  switch (error) {
    case EBADF:
      return kErrorInvalidHandle;
    case EACCES:
    case EPERM:
      return kWinAccessDenied;
    case ENOMEM:
      return kWinNotEnoughMemory;
    case ENOBUFS:
      return kWinOutOfMemory;
    case EINVAL:
      return kWinInvalidParameter;
    case EMFILE:
    case ENFILE:
      return kWinTooManyOpenFiles;
    case EIO:
      return direction == Direction::kWrite ? kWinWriteFault : kWinReadFault;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return kWinDeviceNotConnected;
    default:
      return kWinGenFailure;
  }
}

int DescriptorOf(DeviceHandle h) {
  const auto value = reinterpret_cast<std::intptr_t>(h);
  if (value < 1 || value > static_cast<std::intptr_t>(INT_MAX) + 1) {
    return -1;  // null, all-ones or no descriptor at all: every call gives EBADF
  }
  return static_cast<int>(value - 1);
}

DeviceHandle HandleOf(int fd) { return reinterpret_cast<DeviceHandle>(std::intptr_t{fd} + 1); }

// What a transfer record holds on Linux: where a started read will deliver its report.
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

// Events need no system object here: each wait polls its own record's descriptor, so a wait
// sees only its own transfer. The token only has to be non-null.
char g_event_token;

// The device's unique-ID text (the USB serial number) into `uniq`, from the ioctl or, on kernels
// without it, from the HID device's uevent; its length, or -1 when it cannot be had.
long ReadUniq(int fd, std::array<char, kUniqBytes>& uniq) {
  uniq.fill('\0');
  if (ioctl(fd, HIDIOCGRAWUNIQ(kUniqBytes), uniq.data()) >= 0) {
    return static_cast<long>(strnlen(uniq.data(), uniq.size()));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return -1;
  }
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/uevent", major(st.st_rdev),
                minor(st.st_rdev));
  FILE* uevent = std::fopen(path, "re");
  if (uevent == nullptr) {
    return -1;
  }
  constexpr char kKey[] = "HID_UNIQ=";
  constexpr std::size_t kKeyLength = sizeof kKey - 1;
  long length = -1;
  char line[512];
  while (std::fgets(line, sizeof line, uevent) != nullptr) {
    if (std::strncmp(line, kKey, kKeyLength) == 0) {
      const std::size_t n = std::min(std::strcspn(line + kKeyLength, "\n"), uniq.size());
      std::memcpy(uniq.data(), line + kKeyLength, n);
      length = static_cast<long>(n);
      break;
    }
  }
  std::fclose(uevent);
  return length;
}

// Opens a hidraw node for exclusive use: its descriptor, or minus the errno of the refusal.
// hidraw allows any number of opens; the advisory lock makes this one exclusive among its users,
// and a node locked by another holder is refused as Windows refuses a sharing violation.
int OpenExclusive(const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return -errno;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? -EBUSY : -error;
  }
  return fd;
}

class LinuxHidPlatform final : public HidPlatform {
 public:
  HidClass GetHidClass() override { return {}; }

  InterfaceListToken OpenInterfaceList(const HidClass&) override {
    auto* nodes = new (std::nothrow) std::vector<unsigned>();
    if (nodes == nullptr) {
      return nullptr;
    }
    DIR* dir = opendir(kHidrawClassDir);
    if (dir == nullptr) {
      return nodes;  // no hidraw class: an empty list
    }
    const std::size_t prefix = std::strlen(kHidrawNodePrefix);
    try {
      while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        if (std::strncmp(entry->d_name, kHidrawNodePrefix, prefix) != 0) {
          continue;
        }
        const unsigned long n = std::strtoul(entry->d_name + prefix, &end, 10);
        if (end != entry->d_name + prefix && *end == '\0' && n <= UINT_MAX) {
          nodes->push_back(static_cast<unsigned>(n));
        }
      }
    } catch (const std::bad_alloc&) {
      closedir(dir);
      delete nodes;
      return nullptr;
    }
    closedir(dir);
    std::sort(nodes->begin(), nodes->end());
    return nodes;
  }

  InterfaceLookup GetInterfaceAt(InterfaceListToken list, const HidClass&, std::uint32_t index,
                                 InterfaceRecord& out) override {
    const auto& nodes = *static_cast<std::vector<unsigned>*>(list);
    if (index >= nodes.size()) {
      return InterfaceLookup::kEnd;
    }
    std::memcpy(out.bytes.data(), &nodes[index], sizeof(unsigned));
    return InterfaceLookup::kFound;
  }

  PathBlock GetInterfacePath(InterfaceListToken, const InterfaceRecord& record) override {
    unsigned node = 0;
    std::memcpy(&node, record.bytes.data(), sizeof node);
    char* block = static_cast<char*>(std::malloc(kPathBlockSize));
    if (block == nullptr) {
      return {};
    }
    std::snprintf(block, kPathBlockSize, kDevicePathFormat, node);
    return {block, block};
  }

  void ReleasePathBlock(PathBlock block) override { std::free(block.block); }

  void CloseInterfaceList(InterfaceListToken list) override {
    delete static_cast<std::vector<unsigned>*>(list);
  }

  DeviceHandle OpenDevicePath(const char* path) override {
    const int fd = OpenExclusive(path);
    return fd < 0 ? InvalidDeviceHandle() : HandleOf(fd);
  }

  std::uint32_t OpenRefusal(const char* path) override {
    const int fd = OpenExclusive(path);
    if (fd >= 0) {
      close(fd);
      return 0;
    }
    switch (-fd) {
      case EBUSY:
        return kErrorSharingViolation;
      case ENOENT:
        return kErrorFileNotFound;
      default:
        return WindowsErrorOf(-fd, Direction::kRead);
    }
  }

  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) override {
    hidraw_devinfo info{};
    if (ioctl(DescriptorOf(h), HIDIOCGRAWINFO, &info) != 0) {
      return std::nullopt;
    }
    // The kernel declares the IDs as signed 16-bit values.
    return DeviceIdentity{static_cast<std::uint16_t>(info.vendor),
                          static_cast<std::uint16_t>(info.product)};
  }

  bool GetSerialUnits(DeviceHandle h, SerialUnits& units) override {
    std::array<char, kUniqBytes> uniq;
    const long length = ReadUniq(DescriptorOf(h), uniq);
    if (length <= 0) {
      return false;  // no unique ID: the device has no serial number to read
    }
    const std::size_t n =
        Utf16FromUtf8(uniq.data(), static_cast<std::size_t>(length), units.data(), units.size());
    if (n < units.size()) {
      units[n] = 0;
    }
    return true;
  }

  void Close(DeviceHandle h) override { close(DescriptorOf(h)); }

  EventToken CreateCompletionEvent() override { return &g_event_token; }
  void CloseEvent(EventToken) override {}

  StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord& record) override {
    LinuxTransfer& t = *new (record.storage.data()) LinuxTransfer{};
    const ssize_t written = write(DescriptorOf(h), bytes, n);
    if (written < 0) {
      return {false, WindowsErrorOf(errno, Direction::kWrite), 0};
    }
    t.finished = true;
    t.count = static_cast<std::uint32_t>(written);
    return {true, 0, t.count};
  }

  // The read is always "started": the system call itself is made by the completion query, once
  // poll() has seen a report (or the device leave). A report is hardly ever waiting right after
  // the write, so trying the read first would only add a system call to every exchange.
  StartOutcome StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                         TransferRecord& record) override {
    LinuxTransfer& t = *new (record.storage.data()) LinuxTransfer{};
    t.fd = DescriptorOf(h);
    t.buffer = bytes;
    t.size = n;
    return {false, kIoPending, 0};
  }

  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord& record,
                               std::uint32_t limit_ms) override {
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

  // Nothing stays queued in the kernel for a read that was not taken: there is nothing to cancel.
  void CancelPending(DeviceHandle) override {}

  std::uint32_t GetCompletedCount(DeviceHandle, TransferRecord& record) override {
    LinuxTransfer& t = TransferOf(record);
    if (!t.finished) {
      const ssize_t got = read(t.fd, t.buffer, t.size);
      t.count = got > 0 ? static_cast<std::uint32_t>(got) : 0;
      t.finished = true;
    }
    return t.count;
  }

  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}
};

}  // namespace

HidPlatform& NativePlatform() {
  static LinuxHidPlatform platform;
  return platform;
}

}  // namespace ksv
