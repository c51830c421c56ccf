// DeviceNotifications over the system's device-interface notifications, or a poll.
//
// A thread of the source's own makes a message-only window and registers it for arrivals and
// removals of HID interfaces (RegisterDeviceNotification). Systems whose configuration manager
// has CM_Register_Notification send the same notifications through this older call, and Wine 8
// (whose cfgmgr32 does not export CM_Register_Notification) supports only it. Where even that
// registration is refused, the thread lists the HID interfaces four times a second instead (paths
// only) and hands each listing on as a sweep, so that the logic sees what arrived and left.
//
// The IDs and the serial number of an arrival come through an open without read or write access:
// such a handle does not count against another program's share mode, so the source never keeps a
// walk or an open from a module. Without access, the system cannot tell whether someone holds the
// module, so the held state is "unknown". Changes are queued for Next in the order they came.
#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_notifications.h"

namespace ksv {
namespace {

constexpr DWORD kPollIntervalMs = 250;
constexpr wchar_t kWindowClass[] = L"KSVHidWatchNotifications";
constexpr DWORD kNoAccess = 0;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kSerialBytes = static_cast<ULONG>(kSerialUnits * sizeof(WCHAR));

// An interface key: the path, with ASCII letters in lower case (notifications and the interface
// list may spell a path differently).
void SetKeyFromPath(InterfaceChange& change, const char* path) {
  SetInterfaceKey(change, path);
  for (char& c : change.key) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
}

// An arrival of the interface at `path` (UTF-8, as the platform hands paths on), with what an
// open without access shows of it.
void DescribeArrival(const char* path, InterfaceChange& change) {
  change = InterfaceChange{};
  change.kind = InterfaceChange::Kind::kArrived;
  SetKeyFromPath(change, path);
  std::array<WCHAR, MAX_PATH> wide;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(),
                          static_cast<int>(wide.size())) == 0) {
    return;  // too long, or not UTF-8: passed over
  }
  const HANDLE h =
      CreateFileW(wide.data(), kNoAccess, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return;  // gone already, or not to be had: passed over
  }
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (HidD_GetAttributes(h, &attributes)) {
    change.ids_read = true;
    change.ids = {attributes.VendorID, attributes.ProductID};
  }
  change.serial_read = HidD_GetSerialNumberString(h, change.units.data(), kSerialBytes) != FALSE;
  change.held = HeldState::kUnknown;
  CloseHandle(h);
}

class WindowsDeviceNotifications final : public DeviceNotifications {
 public:
  ~WindowsDeviceNotifications() override {
    if (thread_.joinable()) {
      if (window_ != nullptr) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
      }
      SetEvent(stop_);
      thread_.join();
    }
    if (stop_ != nullptr) {
      CloseHandle(stop_);
    }
  }

  bool Open() {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_ == nullptr) {
      return false;
    }
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
    return method_ != nullptr;
  }

  int Next(int timeout_ms, InterfaceChange& out) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] { return !queue_.empty() || woken_; };
    if (timeout_ms < 0) {
      changed_.wait(lock, ready);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
      return 0;
    }
    if (woken_) {
      return 0;
    }
    out = queue_.front();
    queue_.pop_front();
    return 1;
  }

  void Wake() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      woken_ = true;
    }
    changed_.notify_all();
  }

  const char* Method() const override { return method_; }

 private:
  void Push(const InterfaceChange& change) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(change);
    }
    changed_.notify_all();
  }

  // Hands on the interfaces present now as a sweep, when their paths differ from the last
  // sweep's. Only interfaces that the last sweep did not show are opened (without access) to
  // learn their IDs; the others are known to the logic already by their keys.
  void Sweep() {
    HidPlatform& platform = NativePlatform();
    std::vector<std::string> paths;
    const HidClass cls = platform.GetHidClass();
    const InterfaceList list(platform, platform.OpenInterfaceList(cls));
    if (!list) {
      return;  // no list this time: the next sweep tries again
    }
    for (std::uint32_t index = 0;; ++index) {
      InterfaceRecord record;
      const InterfaceLookup lookup = platform.GetInterfaceAt(list.get(), cls, index, record);
      if (lookup == InterfaceLookup::kEnd) {
        break;
      }
      const OwnedPathBlock path(
          lookup == InterfaceLookup::kFound
              ? OwnedPathBlock(platform, platform.GetInterfacePath(list.get(), record))
              : OwnedPathBlock());
      if (path) {
        paths.emplace_back(path.get().text);
      }
    }
    std::sort(paths.begin(), paths.end());
    if (swept_ && paths == last_paths_) {
      return;
    }
    InterfaceChange change;
    change.kind = InterfaceChange::Kind::kSweepBegin;
    Push(change);
    for (const std::string& path : paths) {
      if (std::binary_search(last_paths_.begin(), last_paths_.end(), path)) {
        change = InterfaceChange{};
        change.kind = InterfaceChange::Kind::kArrived;
        SetKeyFromPath(change, path.c_str());
      } else {
        DescribeArrival(path.c_str(), change);
      }
      Push(change);
    }
    change = InterfaceChange{};
    change.kind = InterfaceChange::Kind::kSweepEnd;
    Push(change);
    last_paths_ = std::move(paths);
    swept_ = true;
  }

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self =
        reinterpret_cast<WindowsDeviceNotifications*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (self != nullptr &&
            (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE)) {
          const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
          if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            self->Notified(wparam == DBT_DEVICEARRIVAL,
                           reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header));
          }
        }
        return TRUE;
      case WM_CLOSE:
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
  }

  void Notified(bool arrived, const DEV_BROADCAST_DEVICEINTERFACE_W* notice) {
    char path[kInterfaceKeyBytes];
    // UTF-8, as the listing spells paths, so that both give an interface the same key.
    if (WideCharToMultiByte(CP_UTF8, 0, notice->dbcc_name, -1, path, sizeof path, nullptr,
                            nullptr) == 0) {
      return;
    }
    InterfaceChange change;
    if (arrived) {
      DescribeArrival(path, change);
    } else {
      change.kind = InterfaceChange::Kind::kLeft;
      SetKeyFromPath(change, path);
    }
    Push(change);
  }

  // The source's thread: registers for notifications (or falls back to polling), hands on the
  // present interfaces, then serves notifications until it is told to stop.
  void Run() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = WindowProcedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = kWindowClass;
    RegisterClassExW(&window_class);  // fails harmlessly when another watch registered it
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  instance, nullptr);
    HDEVNOTIFY registration = nullptr;
    if (window != nullptr) {
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = sizeof filter;
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      HidD_GetHidGuid(&filter.dbcc_classguid);
      registration = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      if (registration == nullptr) {
        DestroyWindow(window);
        window = nullptr;
      }
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      window_ = window;
      method_ = registration != nullptr ? "RegisterDeviceNotification" : "poll";
      started_ = true;
    }
    changed_.notify_all();
    Sweep();
    if (registration != nullptr) {
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
      }
      UnregisterDeviceNotification(registration);
    } else {
      while (WaitForSingleObject(stop_, kPollIntervalMs) == WAIT_TIMEOUT) {
        Sweep();
      }
    }
  }

  std::thread thread_;
  HANDLE stop_ = nullptr;
  HWND window_ = nullptr;
  const char* method_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<InterfaceChange> queue_;
  bool started_ = false;
  bool woken_ = false;
  std::vector<std::string> last_paths_;  // the poll's last listing, sorted; its thread only
  bool swept_ = false;
};

}  // namespace

std::unique_ptr<DeviceNotifications> OpenNativeNotifications() {
  std::unique_ptr<WindowsDeviceNotifications> source(new (std::nothrow)
                                                         WindowsDeviceNotifications());
  if (source == nullptr || !source->Open()) {
    return nullptr;
  }
  return source;
}

}  // namespace ksv
