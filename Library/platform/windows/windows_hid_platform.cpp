// HidPlatform over SetupAPI, HID.DLL and overlapped kernel file I/O.
//
// Each operation is one translation to the system call, with the library's fixed arguments;
// nothing here decides what a result means for discovery or exchange. Paths are read and opened
// in the system's own UTF-16 form and cross into the logic as UTF-8, so that a path with
// characters outside the ANSI code page (Wine puts a device's serial number into its path)
// still names its device.
#include <windows.h>

#include <sddl.h>
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/windows/windows_walk_lock.h"

namespace ksv {
namespace {

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(InterfaceRecord::bytes),
              "interface record storage too small");
static_assert(sizeof(OVERLAPPED) <= sizeof(TransferRecord::storage),
              "transfer record storage too small");
static_assert(sizeof(GUID) == sizeof(HidClass::bytes), "class storage size");
// The numbers that cross the boundary are the system's own.
static_assert(kIoPending == ERROR_IO_PENDING && kWaitSignalled == WAIT_OBJECT_0 &&
                  kWaitTimedOut == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED &&
                  kErrorInvalidHandle == ERROR_INVALID_HANDLE &&
                  kErrorAccessDenied == ERROR_ACCESS_DENIED &&
                  kErrorSharingViolation == ERROR_SHARING_VIOLATION &&
                  kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
                  kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED,
              "Windows numbers");

constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;                   // 0xC0000000
constexpr DWORD kNoSharing = 0;
// How interfaces are described: no access rights, and every other program's opens still allowed.
constexpr DWORD kNoAccess = 0;
constexpr DWORD kFullSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kSerialBytes = static_cast<DWORD>(kSerialUnits * sizeof(WCHAR));  // 512
// Fixed part of the detail block as the system checks it: a DWORD and one WCHAR, padded to 8 on
// x64.
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
// The longest path OpenDevicePath takes, in UTF-16 units with the terminator: the system's path
// limit, which the walk's bound stays within.
constexpr int kOpenPathUnits = MAX_PATH;

GUID ToGuid(const HidClass& cls) {
  GUID guid;
  std::memcpy(&guid, cls.bytes.data(), sizeof guid);
  return guid;
}

// The OVERLAPPED lives in the record's storage; it is created fresh by each start.
OVERLAPPED* StartOverlapped(TransferRecord& record) {
  auto* overlapped = new (record.storage.data()) OVERLAPPED{};
  overlapped->hEvent = static_cast<HANDLE>(record.event);
  return overlapped;
}
OVERLAPPED* OverlappedOf(TransferRecord& record) {
  return std::launder(reinterpret_cast<OVERLAPPED*>(record.storage.data()));
}

// A block holding the UTF-8 form of the zero-terminated `wide`; null when it cannot be had.
char* Utf8Of(const WCHAR* wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) {
    return nullptr;
  }
  auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(bytes)));
  if (text != nullptr &&
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, bytes, nullptr, nullptr) != bytes) {
    std::free(text);
    return nullptr;
  }
  return text;
}

// The error number of a transfer on h that failed with `error`: ERROR_DEVICE_NOT_CONNECTED when
// the device has left, whatever number the system gave for it (Wine ends the transfers of a
// removed device with STATUS_DELETE_PENDING, which arrives as ERROR_ACCESS_DENIED); the system's
// number otherwise. A device that has left no longer answers for its attributes.
DWORD TransferError(HANDLE h, DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
      break;
    default:
      return error;
  }
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  return HidD_GetAttributes(h, &attributes) ? error : ERROR_DEVICE_NOT_CONNECTED;
}

StartOutcome OutcomeOf(HANDLE h, BOOL ok, DWORD count) {
  if (ok) {
    return {true, 0, count};
  }
  const DWORD error = GetLastError();
  return {false, error == ERROR_IO_PENDING ? error : TransferError(h, error), 0};
}

// The devices of the handles OpenDevicePath gave out: a HANDLE tells nothing of the device it
// names, and its value is handed out again once closed, so each handle's key is kept from its open
// to its close. The key is taken from the device path, which names one device interface.
class OpenDevices {
 public:
  void Add(HANDLE h, const char* path) noexcept {
    std::uint64_t key = 0xCBF29CE484222325;  // FNV-1a over the path's bytes
    for (const char* c = path; *c != '\0'; ++c) {
      key = (key ^ static_cast<unsigned char>(*c)) * 0x100000001B3;
    }
    AcquireSRWLockExclusive(&lock_);
    try {
      entries_.push_back({h, key == 0 ? 1 : key});
    } catch (...) {
      // Without memory the handle goes unnamed: its device is then never owed a reply.
    }
    ReleaseSRWLockExclusive(&lock_);
  }
  void Remove(HANDLE h) noexcept {
    AcquireSRWLockExclusive(&lock_);
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [h](const Entry& e) { return e.handle == h; });
    if (it != entries_.end()) {
      *it = entries_.back();
      entries_.pop_back();
    }
    ReleaseSRWLockExclusive(&lock_);
  }
  std::uint64_t KeyOf(HANDLE h) noexcept {
    AcquireSRWLockShared(&lock_);
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [h](const Entry& e) { return e.handle == h; });
    const std::uint64_t key = it == entries_.end() ? 0 : it->key;
    ReleaseSRWLockShared(&lock_);
    return key;
  }

 private:
  struct Entry {
    HANDLE handle;
    std::uint64_t key;
  };
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<Entry> entries_;
};

// The machine-wide walk lock, created with access for every user on first use, or opened when
// another user's process created it; null when neither works.
HANDLE OpenWalkLock() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kMachineWalkLockAccess, SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexW(&attributes, FALSE, kMachineWalkLockName);
    LocalFree(descriptor);
    if (mutex != nullptr) {
      return mutex;
    }
  }
  return OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMachineWalkLockName);
}

// Opens a path (UTF-8) with the given access, sharing and flags; INVALID_HANDLE_VALUE, with the
// reason in the last error, when the conversion (a path too long or not UTF-8) or the open fails.
HANDLE OpenPath(const char* path, DWORD access, DWORD sharing, DWORD flags) {
  std::array<WCHAR, kOpenPathUnits> wide;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), kOpenPathUnits) ==
      0) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide.data(), access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
}

class WindowsHidPlatform final : public HidPlatform {
 public:
  HidClass GetHidClass() override {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HidClass cls;
    std::memcpy(cls.bytes.data(), &guid, sizeof guid);
    return cls;
  }

  InterfaceListToken OpenInterfaceList(const HidClass& cls) override {
    const GUID guid = ToGuid(cls);
    HDEVINFO list = SetupDiGetClassDevsW(&guid, nullptr, nullptr, kPresentInterfaces);
    return list == INVALID_HANDLE_VALUE ? nullptr : list;
  }

  InterfaceLookup GetInterfaceAt(InterfaceListToken list, const HidClass& cls, std::uint32_t index,
                                 InterfaceRecord& out) override {
    const GUID guid = ToGuid(cls);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;  // 32 on x64
    if (!SetupDiEnumDeviceInterfaces(static_cast<HDEVINFO>(list), nullptr, &guid, index, &data)) {
      return GetLastError() == ERROR_NO_MORE_ITEMS ? InterfaceLookup::kEnd
                                                   : InterfaceLookup::kFailed;
    }
    std::memcpy(out.bytes.data(), &data, sizeof data);
    return InterfaceLookup::kFound;
  }

  PathBlock GetInterfacePath(InterfaceListToken list, const InterfaceRecord& record) override {
    SP_DEVICE_INTERFACE_DATA data;
    std::memcpy(&data, record.bytes.data(), sizeof data);
    auto* info = static_cast<HDEVINFO>(list);
    DWORD size = 0;
    // Size query: it fails by design (no block given); only the size it reports is used.
    SetupDiGetDeviceInterfaceDetailW(info, &data, nullptr, 0, &size, nullptr);
    if (size < kDetailFixedSize) {
      return {};
    }
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::malloc(size));
    if (detail == nullptr) {
      return {};
    }
    detail->cbSize = kDetailFixedSize;  // 8 on x64
    char* text = nullptr;
    if (SetupDiGetDeviceInterfaceDetailW(info, &data, detail, size, nullptr, nullptr)) {
      // The text is terminated within the block; make sure of it for a block at its exact size.
      WCHAR* path = detail->DevicePath;
      path[(size - kPathOffset) / sizeof(WCHAR) - 1] = L'\0';
      text = Utf8Of(path);
    }
    std::free(detail);
    return {text, text};
  }

  void ReleasePathBlock(PathBlock block) override { std::free(block.block); }

  void CloseInterfaceList(InterfaceListToken list) override {
    SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(list));
  }

  DeviceHandle OpenDevicePath(const char* path) override {
    const HANDLE h = OpenPath(path, kReadWrite, kNoSharing, FILE_FLAG_OVERLAPPED);
    if (h != INVALID_HANDLE_VALUE) {
      open_devices_.Add(h, path);
    }
    return h;
  }

  std::uint32_t OpenRefusal(const char* path) override {
    const HANDLE h = OpenDevicePath(path);
    if (h == INVALID_HANDLE_VALUE) {
      return GetLastError();  // the conversion's or CreateFileW's own
    }
    Close(h);
    return 0;
  }

  // The IDs are read through a handle with no access rights that shares everything, as the
  // system's own device lists read them: it takes nothing from another program, and another
  // program's open is never refused because of it. Whether the caller may open the interface for
  // reading and writing, and whether another holder has it, only such an open shows. The
  // serial-number string is read on the module's own handle, once it is opened.
  Description DescribeInterface(const char* path, InterfaceFacts& facts, SerialUnits*) override {
    const HANDLE h = OpenPath(path, kNoAccess, kFullSharing, 0);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                 ? Description::kGone
                 : Description::kOpenToTell;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    const BOOL read = HidD_GetAttributes(h, &attributes);
    CloseHandle(h);
    if (!read) {
      return Description::kOpenToTell;
    }
    facts.ids = DeviceIdentity{attributes.VendorID, attributes.ProductID};
    facts.serial_read = false;
    return Description::kIdentified;
  }

  // Never asked: no interface is described with its access and holder here.
  HoldersToken ReadHolders() override { return nullptr; }
  Holding HolderOf(HoldersToken, const char*, const InterfaceFacts&) override { return {}; }
  void ReleaseHolders(HoldersToken) override {}

  // The mutex is taken when it is free or its holder died with it (WAIT_ABANDONED: the walk that
  // held it ended with its process, and what it held went with it).
  WalkLockToken LockMachineWalks(std::uint32_t limit_ms) override {
    HANDLE mutex = OpenWalkLock();
    if (mutex == nullptr) {
      return nullptr;
    }
    const DWORD wait = WaitForSingleObject(mutex, limit_ms);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
      return mutex;
    }
    CloseHandle(mutex);
    return nullptr;
  }

  void UnlockMachineWalks(WalkLockToken token) override {
    ReleaseMutex(token);
    CloseHandle(token);
  }

  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle h) override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(h, &attributes)) {
      return std::nullopt;
    }
    return DeviceIdentity{attributes.VendorID, attributes.ProductID};
  }

  bool GetSerialUnits(DeviceHandle h, SerialUnits& units) override {
    static_assert(sizeof(SerialUnits) == kSerialBytes, "serial buffer is 512 bytes");
    return HidD_GetSerialNumberString(h, units.data(), kSerialBytes) != FALSE;
  }

  // Any handle is the system's to judge: the close is made and counted as done.
  bool Close(DeviceHandle h) override {
    open_devices_.Remove(h);
    CloseHandle(h);
    return true;
  }

  std::uint64_t DeviceKey(DeviceHandle h) override { return open_devices_.KeyOf(h); }

  EventToken CreateCompletionEvent() override {
    // Unnamed: a named event would be one object for every transfer using that name, so one
    // transfer's completion could end another's wait.
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }

  void CloseEvent(EventToken event) override { CloseHandle(event); }

  // Drains by reading, one report at a time: HidD_FlushQueue is not supported everywhere (Wine
  // refuses it), and a read drains any handle alike, pipes included. A read that completes at
  // once, or whose event is signalled as soon as it is looked at, took a report that was queued
  // before this call: it is dropped and the next one read. A read still pending means that nothing
  // is queued: it is cancelled and waited for, and should it have taken a report meanwhile, that
  // report is dropped too and the queue looked at again.
  std::uint32_t DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch, std::uint32_t n,
                                   TransferRecord& record) override {
    for (std::uint32_t discarded = 0; discarded < kMaxDiscardedReports; ++discarded) {
      OVERLAPPED* overlapped = StartOverlapped(record);
      DWORD count = 0;
      if (ReadFile(h, scratch, n, &count, overlapped)) {
        continue;
      }
      if (const DWORD error = GetLastError(); error != ERROR_IO_PENDING) {
        return TransferError(h, error);
      }
      const bool signalled =
          record.event != nullptr &&
          WaitForSingleObject(static_cast<HANDLE>(record.event), 0) == WAIT_OBJECT_0;
      if (!signalled) {
        CancelIo(h);
      }
      if (!GetOverlappedResult(h, overlapped, &count, TRUE)) {
        const DWORD error = GetLastError();
        return error == ERROR_OPERATION_ABORTED ? 0 : TransferError(h, error);
      }
    }
    return 0;
  }

  StartOutcome StartWrite(DeviceHandle h, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord& record) override {
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes, n, &written, StartOverlapped(record));
    return OutcomeOf(h, ok, written);
  }

  StartOutcome StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                         TransferRecord& record) override {
    DWORD read = 0;
    const BOOL ok = ReadFile(h, bytes, n, &read, StartOverlapped(record));
    return OutcomeOf(h, ok, read);
  }

  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord& record,
                               std::uint32_t limit_ms) override {
    return WaitForSingleObject(static_cast<HANDLE>(record.event), limit_ms);
  }

  void CancelPending(DeviceHandle h) override { CancelIo(h); }

  std::uint32_t GetCompletedCount(DeviceHandle h, TransferRecord& record) override {
    DWORD count = 0;
    if (!GetOverlappedResult(h, OverlappedOf(record), &count, TRUE)) {
      record.error = TransferError(h, GetLastError());
    }
    return count;
  }

  void AwaitCancelled(DeviceHandle h, TransferRecord& record) override {
    DWORD ignored = 0;
    GetOverlappedResult(h, OverlappedOf(record), &ignored, TRUE);
  }

 private:
  OpenDevices open_devices_;
};

}  // namespace

HidPlatform& SystemPlatform() {
  static WindowsHidPlatform platform;
  return platform;
}

}  // namespace ksv
