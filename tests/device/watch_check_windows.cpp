// KSVHidWatch.dll against the bed's modules and modules that come and go, through the system's HID
// stack (under Wine in the test guest: its HID bus over the guest's hidraw nodes).
//
// The present modules arrive first. Then each cycle adds a module through ksv-virtual-module's
// control channel, waits for its arrival, removes it and waits for its departure: the system
// needs a while to make a new device's interface (under Wine in the guest, over a second), and a
// module removed before that never exists for a Windows program, so the cycles go in step with
// the watch. The times are printed: from the command to the event, and from the system's own
// notification (as another window of this program gets it) to the event.
#include "watch_check_windows.h"

#include <windows.h>

#include <dbt.h>

extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "KSVHidWatch.h"
#include "checks.h"

namespace ksv::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEventWaitMs = 60000;  // the system may take long to make a device's interface
constexpr int kQuietMs = 2000;       // after the last cycle, nothing more comes in this time
constexpr double kNoticeWaitMs = 1000;
constexpr wchar_t kClockWindowClass[] = L"KSVWatchCheckNotices";

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// When the system last told of a HID interface's arrival, to a message-only window of its own
// thread, registered as any program would.
class ArrivalNotices {
 public:
  ArrivalNotices() : thread_([this] { Run(); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    started_.wait(lock, [this] { return ready_; });
  }
  ~ArrivalNotices() {
    if (window_ != nullptr) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    thread_.join();
  }
  ArrivalNotices(const ArrivalNotices&) = delete;
  ArrivalNotices& operator=(const ArrivalNotices&) = delete;

  bool Registered() const { return window_ != nullptr; }
  // Nanoseconds on the steady clock; 0 before the first.
  Clock::rep Last() const { return last_.load(); }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<ArrivalNotices*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && wparam == DBT_DEVICEARRIVAL && self != nullptr) {
      self->last_ = Clock::now().time_since_epoch().count();
      return TRUE;
    }
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  void Run() {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = Procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kClockWindowClass;
    RegisterClassExW(&window_class);
    HWND window = CreateWindowExW(0, kClockWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
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
      ready_ = true;
    }
    started_.notify_all();
    if (window == nullptr) {
      return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      DispatchMessageW(&message);
    }
    UnregisterDeviceNotification(registration);
  }

  std::atomic<Clock::rep> last_{0};
  std::mutex mutex_;
  std::condition_variable started_;
  bool ready_ = false;
  HWND window_ = nullptr;
  std::thread thread_;
};

// "+SERIAL" or "-SERIAL" with the IDs when they are not `vendor`:`product`; "" when nothing came in
// time, "(result N)" on a failure.
std::string NextText(KSVHidWatchHandle w, int timeout_ms, unsigned vendor, unsigned product) {
  KSVHidWatchEvent e{};
  const int result = KSVHidWatchNext(w, timeout_ms, &e);
  if (result != 1) {
    return result == 0 ? "" : "(result " + std::to_string(result) + ")";
  }
  std::string text = std::string(e.kind == KSVHID_WATCH_ARRIVED ? "+" : "-") + e.serial;
  if (e.vendor_id != vendor || e.product_id != product) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "(%04X:%04X)", e.vendor_id, e.product_id);
    text += ids;
  }
  if (e.free != KSVHID_WATCH_UNKNOWN) {
    text += "(free " + std::to_string(e.free) + ")";
  }
  return text;
}

// "median M ms, max X ms" of the times; "none" when there are none.
std::string Spread(std::vector<double> ms) {
  if (ms.empty()) {
    return "none";
  }
  std::sort(ms.begin(), ms.end());
  char text[96];
  std::snprintf(text, sizeof text, "median %.0f ms, min %.0f ms, max %.0f ms (%zu)",
                ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
  return text;
}

}  // namespace

void CheckWatch(std::vector<std::string> present, int cycles,
                const std::function<bool(const std::string& line)>& control) {
  // Registered before the watch, so that the system tells this window first.
  const ArrivalNotices notices;
  KSVHidWatchHandle w = nullptr;
  KSV_CHECK_EQ(KSVHidWatchOpen(0, &w), 1);
  if (w == nullptr) {
    return;
  }
  std::printf("watch: learns of changes through %s\n", KSVHidWatchMethod(w));

  // The present modules first, in the system's order: compared as sorted lists.
  const auto start = Clock::now();
  std::vector<std::string> arrived;
  for (std::size_t i = 0; i < present.size(); ++i) {
    // Their IDs vary; only the kind and the serial number are compared here.
    KSVHidWatchEvent e{};
    if (KSVHidWatchNext(w, kEventWaitMs, &e) != 1) {
      break;
    }
    arrived.push_back(std::string(e.kind == KSVHID_WATCH_ARRIVED ? "+" : "-") + e.serial);
  }
  for (std::string& text : present) {
    text = "+" + text;
  }
  std::sort(present.begin(), present.end());
  std::sort(arrived.begin(), arrived.end());
  std::string got;
  for (const std::string& text : arrived) {
    got += " " + text;
  }
  KSV_CHECK_MSG(arrived == present, "the present modules arrive first:" + got);
  std::printf("watch: %zu present modules in %.0f ms\n", arrived.size(),
              MsBetween(start, Clock::now()));

  // Each cycle's module alternates between the two vendors of mode 0.
  std::vector<double> after_add, after_notice, after_remove;
  std::string expected;
  got.clear();
  const auto cycles_start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    const std::string serial = "W-" + std::to_string(i);
    const unsigned vendor = i % 2 == 0 ? 0x17FE : 0x10C4;
    char description[128];
    std::snprintf(description, sizeof description,
                  "add module:vid=0x%04x,pid=0x82cd,silent,serial=%s,id=%s", vendor, serial.c_str(),
                  serial.c_str());
    expected += " +" + serial + " -" + serial;
    const auto added = Clock::now();
    if (!control(description)) {
      got += " (add refused)";
      break;
    }
    const std::string arrival = NextText(w, kEventWaitMs, vendor, 0x82CD);
    const auto arrived_at = Clock::now();
    got += " " + arrival;
    after_add.push_back(MsBetween(added, arrived_at));
    // This program's own notice may come a moment after the watch's event.
    Clock::time_point notice{Clock::duration(notices.Last())};
    while (notice < added && MsBetween(arrived_at, Clock::now()) < kNoticeWaitMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      notice = Clock::time_point(Clock::duration(notices.Last()));
    }
    if (notice >= added) {
      after_notice.push_back(MsBetween(notice, arrived_at));
    }
    if (arrival.empty()) {
      std::printf("watch: no arrival of %s; the system %s of an arrival since the add command\n",
                  serial.c_str(), notice >= added ? "told" : "did not tell");
    }
    const auto removed = Clock::now();
    if (!control("remove " + serial)) {
      got += " (remove refused)";
      break;
    }
    const std::string departure = NextText(w, kEventWaitMs, vendor, 0x82CD);
    after_remove.push_back(MsBetween(removed, Clock::now()));
    got += " " + departure;
    if (arrival.empty() || departure.empty()) {
      break;  // the rest would only wait out their limits
    }
  }
  std::printf("watch: %d cycles in %.1f s\n", cycles,
              MsBetween(cycles_start, Clock::now()) / 1000.0);
  KSV_CHECK_MSG(got == expected,
                "each cycle's module arrives and leaves, in order:" + got.substr(0, 400));
  KSV_CHECK_MSG(NextText(w, kQuietMs, 0, 0).empty(), "no event beyond the cycles");
  KSV_CHECK_EQ(KSVHidWatchClose(w), 1);

  std::printf("watch: arrival after the add command: %s\n", Spread(after_add).c_str());
  std::printf("watch: arrival after the system's notification%s: %s\n",
              notices.Registered() ? "" : " (no notifications)", Spread(after_notice).c_str());
  std::printf("watch: departure after the remove command: %s\n", Spread(after_remove).c_str());
}

}  // namespace ksv::test
