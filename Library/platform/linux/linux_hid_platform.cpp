// HidPlatform over Linux hidraw.
//
// Interfaces are the hidraw nodes present now, in ascending node number. A device handle carries
// the node's descriptor beside its device number (linux_handle.h), which is checked before the
// descriptor is read, written or closed. Opens are exclusive through an advisory lock, as the
// Windows share mode makes them (linux_holders.h). Interfaces are described from sysfs without
// opening them (linux_files.h, uevent.h), and transfers emulate the start / wait / complete model
// of the table (linux_transfer.h). Error numbers are translated to the Windows numbers the exchange
// maps to its result codes (linux_errno.h, tabled in docs/linux-and-windows.md).
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
#include <vector>

#include "platform/hid_platform.h"
#include "platform/linux/linux_errno.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_handle.h"
#include "platform/linux/linux_holders.h"
#include "platform/linux/linux_transfer.h"
#include "platform/linux/uevent.h"
#include "platform/utf16_from_utf8.h"

namespace ksv {
namespace {

constexpr char kHidrawNodePrefix[] = "hidraw";
constexpr char kDevicePathFormat[] = "/dev/hidraw%u";
constexpr std::size_t kPathBlockSize = 32;
constexpr std::size_t kUniqBytes = 256;

// Events need no system object here: each wait polls its own record's descriptor, so a wait
// sees only its own transfer. The token only has to be non-null.
char g_event_token;

// The unique-ID text of a uevent into `uniq`; its length, or -1 when the uevent has none.
long UniqOfUevent(const SmallFileText& text, std::size_t length,
                  std::array<char, kUniqBytes>& uniq) {
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
  SmallFileText text;
  if (fstat(fd, &st) != 0) {
    return -1;
  }
  const std::optional<std::size_t> length = ReadNodeUevent(st.st_rdev, text);
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

  // From sysfs: the IDs and the unique ID from the HID device's uevent (what the hidraw ioctls
  // report), and access from faccessat() as the open would be judged. The node's file system
  // device and inode name it in /proc/locks. Whatever cannot be read leaves it to an open.
  Description DescribeInterface(const char* path, InterfaceFacts& facts,
                                SerialUnits* units) override {
    struct stat st {};
    if (stat(path, &st) != 0) {
      return errno == ENOENT ? Description::kGone : Description::kOpenToTell;
    }
    if (!S_ISCHR(st.st_mode)) {
      return Description::kOpenToTell;
    }
    SmallFileText text;
    const std::optional<std::size_t> length = ReadNodeUevent(st.st_rdev, text);
    const std::optional<UeventIds> ids =
        length ? ParseUeventIds(text.data(), *length) : std::nullopt;
    if (!ids) {
      return Description::kOpenToTell;
    }
    facts.ids = DeviceIdentity{ids->vendor, ids->product};
    facts.accessible = faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) == 0;
    facts.node = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    facts.serial_read = false;
    if (units != nullptr) {
      std::array<char, kUniqBytes> uniq;
      uniq.fill('\0');
      facts.serial_read = UnitsOfUniq(uniq, UniqOfUevent(text, *length, uniq), *units);
    }
    return Description::kDescribed;
  }

  HoldersToken ReadHolders() override {
    auto* holders = new (std::nothrow) FlockHolders();
    if (holders != nullptr && !holders->Read()) {
      delete holders;
      return nullptr;
    }
    return holders;
  }

  Holding HolderOf(HoldersToken holders, const char*, const InterfaceFacts& facts) override {
    const std::optional<long long> pid = static_cast<const FlockHolders*>(holders)->HolderOf(
        static_cast<dev_t>(facts.node[0]), static_cast<ino_t>(facts.node[1]));
    return pid ? Holding{true, *pid} : Holding{};
  }

  void ReleaseHolders(HoldersToken holders) override { delete static_cast<FlockHolders*>(holders); }

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
    return CheckedDescriptor(h) < 0 ? 0 : CarriedBy(h);
  }

  EventToken CreateCompletionEvent() override { return &g_event_token; }
  void CloseEvent(EventToken) override {}

  // The handle is checked here, at the start of each exchange; the write and read that follow
  // trust it (one exchange at a time per handle, and a handle is not closed during its exchange).
  std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   TransferRecord&) override {
    const int fd = CheckedDescriptor(h);
    return fd < 0 ? kErrorInvalidHandle : DiscardQueued(fd, scratch, n);
  }

  StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord& record) override {
    return WriteAll(DescriptorOf(h), bytes, n, record);
  }

  StartOutcome StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                         TransferRecord& record) override {
    return BeginRead(DescriptorOf(h), bytes, n, record);
  }

  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord& record,
                               std::uint32_t limit_ms) override {
    return AwaitReport(record, limit_ms);
  }

  void CancelPending(DeviceHandle) override {}

  std::uint32_t GetCompletedCount(DeviceHandle, TransferRecord& record) override {
    return FinishTransfer(record);
  }

  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}
};

}  // namespace

HidPlatform& SystemPlatform() {
  static LinuxHidPlatform platform;
  return platform;
}

}  // namespace ksv
