// HidPlatform over Linux hidraw.
//
// Interfaces are the hidraw nodes present now, in ascending node number. A device handle carries
// the node's file descriptor (as descriptor + 1, so that null and all-ones keep their meaning and
// descriptor 0 is a valid handle) beside the node's device number, which is checked before the
// descriptor is read, written or closed. Opens are exclusive through an advisory lock, as the
// Windows share mode makes them. Error numbers are translated to the Windows numbers the exchange
// maps to its result codes (linux_errno.h, tabled in docs/linux-and-windows.md).
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
//   - DiscardQueuedInput checks the handle (one fstat), then reads without blocking until EAGAIN.
//     DeviceKey, asked before a read for a reply still owed, checks it the same way.
//   - A read or write that fails with an error a removal can cause (EIO, ENODEV, EPROTO, ...) is
//     reported as kErrorDeviceNotConnected when the descriptor's device is gone: poll() on the
//     descriptor then reports POLLHUP, which hidraw sets once it has taken the device away.
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
#include <optional>
#include <utility>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/linux/linux_errno.h"
#include "platform/linux/uevent.h"
#include "platform/utf16_from_utf8.h"

namespace ksv {
namespace {

constexpr char kHidrawNodePrefix[] = "hidraw";
constexpr char kDevicePathFormat[] = "/dev/hidraw%u";
constexpr std::size_t kPathBlockSize = 32;
constexpr std::size_t kUniqBytes = 256;

// A handle carries the descriptor and the device number of the node it was opened on, so that
// it is acted on only while its descriptor still names that node (a closed descriptor number is
// soon handed out again, by the lowest-free rule, for whatever the process opens next):
//   bits 0..31   descriptor + 1: never 0, at most 2^31, so the value is neither null nor all-ones;
//   bits 32..63  the device number in the kernel's own 32-bit form (12-bit major, 20-bit minor).
// A 32-bit build has no room for both in a pointer; it would need a table of open handles.
static_assert(sizeof(DeviceHandle) >= sizeof(std::uint64_t),
              "a Linux handle carries a descriptor and a device number: 64-bit builds only");
constexpr unsigned kDescriptorBits = 32;
constexpr unsigned kMinorBits = 20;
constexpr std::uint64_t kMajorLimit = std::uint64_t{1} << (kDescriptorBits - kMinorBits);
constexpr std::uint64_t kMinorLimit = std::uint64_t{1} << kMinorBits;
constexpr std::uint64_t kDescriptorMask = (std::uint64_t{1} << kDescriptorBits) - 1;

// The device number of a node as the handle carries it; 0 when it does not fit, which no
// character device has.
std::uint32_t CarriedDeviceNumber(dev_t device) {
  const std::uint64_t major_number = major(device), minor_number = minor(device);
  if (major_number >= kMajorLimit || minor_number >= kMinorLimit) {
    return 0;
  }
  return static_cast<std::uint32_t>(major_number << kMinorBits | minor_number);
}

DeviceHandle HandleOf(int fd, std::uint32_t device) {
  const std::uint64_t value =
      std::uint64_t{device} << kDescriptorBits | (static_cast<std::uint64_t>(fd) + 1);
  return reinterpret_cast<DeviceHandle>(static_cast<std::uintptr_t>(value));
}

// The descriptor a handle carries, unchecked; -1 (every call then gives EBADF) when it carries
// none. For handles the walk has just opened, and for transfers the exchange began with a check.
int DescriptorOf(DeviceHandle h) {
  const std::uint64_t low = reinterpret_cast<std::uintptr_t>(h) & kDescriptorMask;
  if (low == 0 || low > static_cast<std::uint64_t>(INT_MAX) + 1) {
    return -1;  // null, all-ones or no descriptor at all
  }
  return static_cast<int>(low - 1);
}

// The descriptor, when it still names the character device the handle was opened on (one
// fstat); -1 otherwise.
int CheckedDescriptor(DeviceHandle h) {
  const int fd = DescriptorOf(h);
  const auto device =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h) >> kDescriptorBits);
  struct stat st {};
  if (fd < 0 || device == 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) ||
      CarriedDeviceNumber(st.st_rdev) != device) {
    return -1;
  }
  return fd;
}

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

// Events need no system object here: each wait polls its own record's descriptor, so a wait
// sees only its own transfer. The token only has to be non-null.
char g_event_token;

// sysfs hands out at most one page; a longer text would be cut, not overrun.
constexpr std::size_t kUeventBytes = 4096;
using UeventText = std::array<char, kUeventBytes>;

// Reads the whole of a small file into `text`; its length, or nothing when it cannot be read.
std::optional<std::size_t> ReadSmallFile(const char* path, UeventText& text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::size_t length = 0;
  bool failed = false;
  while (length < text.size()) {
    const ssize_t got = read(fd, text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    failed = got < 0;
    if (got <= 0) {
      break;
    }
    length += static_cast<std::size_t>(got);
  }
  close(fd);
  if (failed) {
    return std::nullopt;
  }
  return length;
}

// The uevent text of the HID device behind the character device `device`.
std::optional<std::size_t> ReadUevent(dev_t device, UeventText& text) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/uevent", major(device),
                minor(device));
  return ReadSmallFile(path, text);
}

// The unique-ID text of a uevent into `uniq`; its length, or -1 when the uevent has none.
long UniqOfUevent(const UeventText& text, std::size_t length, std::array<char, kUniqBytes>& uniq) {
  const std::optional<std::size_t> n =
      ParseUeventUniq(text.data(), length, uniq.data(), uniq.size());
  return n ? static_cast<long>(*n) : -1;
}

// The device's unique-ID text (the USB serial number) into `uniq`, from the ioctl or, on kernels
// without it, from the HID device's uevent; its length, or -1 when it cannot be had.
long ReadUniq(int fd, std::array<char, kUniqBytes>& uniq) {
  uniq.fill('\0');
  if (ioctl(fd, HIDIOCGRAWUNIQ(kUniqBytes), uniq.data()) >= 0) {
    return static_cast<long>(strnlen(uniq.data(), uniq.size()));
  }
  struct stat st {};
  UeventText text;
  if (fstat(fd, &st) != 0) {
    return -1;
  }
  const std::optional<std::size_t> length = ReadUevent(st.st_rdev, text);
  return length ? UniqOfUevent(text, *length, uniq) : -1;
}

// A unique-ID text as serial-number units, as a handle's serial number reads; false when there is
// none (an empty unique ID: the device has no serial number to read).
bool UnitsOfUniq(const std::array<char, kUniqBytes>& uniq, long length, SerialUnits& units) {
  if (length <= 0) {
    return false;
  }
  const std::size_t n =
      Utf16FromUtf8(uniq.data(), static_cast<std::size_t>(length), units.data(), units.size());
  if (n < units.size()) {
    units[n] = 0;
  }
  return true;
}

constexpr std::size_t kLocksChunk = 4096;

// Looks through /proc/locks for a flock() lock on the file whose device and inode are given (the
// library's exclusive opens take one, and so does any program that locks a node the same way).
// Nothing when /proc/locks cannot be read; else whether one is held and by which process (0 when
// the system does not say).
std::optional<std::pair<bool, long long>> FindFlock(dev_t device, ino_t inode) {
  const int fd = open(kLocksFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::array<char, kLocksChunk> chunk;
  std::size_t kept = 0;  // bytes of an unfinished line at the start of `chunk`
  std::optional<std::pair<bool, long long>> found = std::make_pair(false, 0LL);
  for (;;) {
    const ssize_t got = read(fd, chunk.data() + kept, chunk.size() - kept);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      found.reset();
      break;
    }
    const std::size_t filled = kept + static_cast<std::size_t>(got);
    std::size_t line = 0;
    for (std::size_t i = 0; i < filled; ++i) {
      if (chunk[i] != '\n' && !(got == 0 && i + 1 == filled)) {
        continue;
      }
      const std::size_t end = chunk[i] == '\n' ? i : i + 1;
      const std::optional<FlockHolder> holder = ParseFlockLine(chunk.data() + line, end - line);
      if (holder && holder->device_major == major(device) &&
          holder->device_minor == minor(device) && holder->inode == inode) {
        close(fd);
        return std::make_pair(true, holder->pid);
      }
      line = i + 1;
    }
    if (got == 0) {
      break;
    }
    // A line longer than the chunk is no lock line of interest: it is dropped.
    kept = line == 0 && filled == chunk.size() ? 0 : filled - line;
    std::memmove(chunk.data(), chunk.data() + filled - kept, kept);
  }
  close(fd);
  return found;
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
    if (fd < 0) {
      return InvalidDeviceHandle();
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || CarriedDeviceNumber(st.st_rdev) == 0) {
      close(fd);
      return InvalidDeviceHandle();
    }
    return HandleOf(fd, CarriedDeviceNumber(st.st_rdev));
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
        return WindowsErrorOf(-fd, TransferDirection::kRead);
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
    return UnitsOfUniq(uniq, ReadUniq(DescriptorOf(h), uniq), units);
  }

  // From sysfs and procfs: the IDs and the unique ID from the HID device's uevent (what the
  // hidraw ioctls report), access from faccessat() as the open would be judged, and the holder
  // from /proc/locks. Whatever cannot be read leaves it to an open.
  Description DescribeInterface(const char* path, InterfaceFacts& facts,
                                SerialUnits* units) override {
    struct stat st {};
    if (stat(path, &st) != 0) {
      return errno == ENOENT ? Description::kGone : Description::kOpenToTell;
    }
    if (!S_ISCHR(st.st_mode)) {
      return Description::kOpenToTell;
    }
    UeventText text;
    const std::optional<std::size_t> length = ReadUevent(st.st_rdev, text);
    const std::optional<UeventIds> ids =
        length ? ParseUeventIds(text.data(), *length) : std::nullopt;
    if (!ids) {
      return Description::kOpenToTell;
    }
    const std::optional<std::pair<bool, long long>> flock = FindFlock(st.st_dev, st.st_ino);
    if (!flock) {
      return Description::kOpenToTell;
    }
    facts.ids = DeviceIdentity{ids->vendor, ids->product};
    facts.accessible = faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) == 0;
    facts.held = flock->first;
    facts.holder = flock->second;
    facts.serial_read = false;
    if (units != nullptr) {
      std::array<char, kUniqBytes> uniq;
      uniq.fill('\0');
      facts.serial_read = UnitsOfUniq(uniq, UniqOfUevent(text, *length, uniq), *units);
    }
    return Description::kDescribed;
  }

  // Walks here open nothing but the module the opening form hands out: they need no lock.
  WalkLockToken LockMachineWalks(std::uint32_t) override { return nullptr; }
  void UnlockMachineWalks(WalkLockToken) override {}

  bool Close(DeviceHandle h) override {
    const int fd = CheckedDescriptor(h);
    if (fd < 0) {
      return false;  // closed already, or the number now names something else: not ours to close
    }
    close(fd);
    return true;
  }

  // The node's device number, which the handle carries; 0 once the descriptor no longer names it.
  std::uint64_t DeviceKey(DeviceHandle h) override {
    return CheckedDescriptor(h) < 0 ? 0 : reinterpret_cast<std::uintptr_t>(h) >> kDescriptorBits;
  }

  EventToken CreateCompletionEvent() override { return &g_event_token; }
  void CloseEvent(EventToken) override {}

  // The handle is checked here, at the start of each exchange; the write and read that follow
  // trust it (one exchange at a time per handle, and a handle is not closed during its exchange).
  std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   TransferRecord&) override {
    const int fd = CheckedDescriptor(h);
    if (fd < 0) {
      return kErrorInvalidHandle;
    }
    // The descriptor is non-blocking: each read takes one queued report, EAGAIN says none is left.
    // Any other failure ends the exchange before anything is written (EIO: the device is gone).
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

  StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord& record) override {
    LinuxTransfer& t = *new (record.storage.data()) LinuxTransfer{};
    const int fd = DescriptorOf(h);
    const ssize_t written = write(fd, bytes, n);
    if (written < 0) {
      return {false, TransferError(fd, errno, TransferDirection::kWrite), 0};
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
      // EAGAIN: poll() was woken without a report, which no failure explains; nothing arrived.
      if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        record.error = TransferError(t.fd, errno, TransferDirection::kRead);
      }
      t.count = got > 0 ? static_cast<std::uint32_t>(got) : 0;
      t.finished = true;
    }
    return t.count;
  }

  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}
};

}  // namespace

HidPlatform& SystemPlatform() {
  static LinuxHidPlatform platform;
  return platform;
}

}  // namespace ksv
