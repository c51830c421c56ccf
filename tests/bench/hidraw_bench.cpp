// Measured harness, run in the test guest with virtual modules present (uhid devices, or USB
// modules when $KSV_DEVICE_BED names a USB bed, as with-modules.sh sets it): the library's exchange
// against the raw hidraw system calls (alone, and with the two calls the library adds to each
// exchange: the handle's fstat and the non-blocking read that finds no stale input), and against
// hidapi's hidraw backend on the same module; the library's module count against hid_enumerate.
//
//   hidraw_bench --print-devices     the ksv-virtual-module arguments it expects
//   hidraw_bench [EXCHANGES]         measure and print medians and ratios
#include <fcntl.h>
#include <hidapi.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KSVHidApi.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUhidModules = 8;
constexpr int kUsbModules = 4;  // the most HID functions f_hid makes at a time
constexpr int kEnumerations = 200;
constexpr int kRounds = 10;
constexpr std::uint16_t kVendor = 0x17FE;
constexpr std::uint16_t kProduct = 0x82CD;
constexpr std::size_t kReportBytes = 64;
constexpr int kReadLimitMs = 2000;
constexpr char kBenchSerial[] = "BENCH-0";

// The number of modules: fewer on a USB bed.
int Modules() {
  const char* bed = std::getenv("KSV_DEVICE_BED");
  return bed != nullptr && std::strncmp(bed, "usb", 3) == 0 ? kUsbModules : kUhidModules;
}

void PrintDevices() {
  for (int i = 0; i < Modules(); ++i) {
    std::printf("module:vid=0x17fe,pid=0x82cd,serial=BENCH-%d,id=B%d\n", i, i);
  }
}

// Appends `runs` timings of `body`, in microseconds; `body` gives false on a failed round.
void Time(int runs, std::vector<double>& times, int& failures, const std::function<bool()>& body) {
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    failures += body() ? 0 : 1;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The hidraw node of the module with this serial, found through hidapi.
std::string PathOf(const char* serial) {
  std::string path;
  hid_device_info* list = hid_enumerate(kVendor, kProduct);
  for (hid_device_info* d = list; d != nullptr; d = d->next) {
    std::wstring wide(serial, serial + std::strlen(serial));
    if (d->serial_number != nullptr && wide == d->serial_number) {
      path = d->path;
    }
  }
  hid_free_enumeration(list);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--print-devices") == 0) {
    PrintDevices();
    return 0;
  }
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int modules = Modules();
  std::printf("%d %s modules\n", modules, modules == kUsbModules ? "USB" : "uhid");
  if (hid_init() != 0 || GetKestrovanHIDnumber() != modules) {
    std::printf("expected %d modules, found %d\n", modules, GetKestrovanHIDnumber());
    return 1;
  }
  std::array<char, 63> command{};
  std::array<char, 63> reply{};
  for (std::size_t i = 0; i < command.size(); ++i) {
    command[i] = static_cast<char>(i);
  }
  int failures = 0;
  const std::string path = PathOf(kBenchSerial);
  std::array<unsigned char, kReportBytes> out{};
  std::array<unsigned char, kReportBytes> in{};
  out[0] = 1;
  std::memcpy(out.data() + 1, command.data(), command.size());

  // Batches of each way in turn, each on a handle of its own: every open descriptor of a hidraw
  // node receives every input report, so only one is open at a time.
  std::vector<double> library, raw, checked, hidapi;
  const int batch = std::max(1, exchanges / kRounds);
  // One raw round trip: one write, poll, one read.
  const auto round_trip = [&](int fd) {
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kReadLimitMs) == 1 &&
           read(fd, in.data(), in.size()) == static_cast<ssize_t>(in.size());
  };
  // Each way as a batch of its own; the order of the ways turns from round to round.
  const std::function<bool()> ways[] = {
      [&] {
        KSVHidHandle handle = nullptr;  // the library, on a handle it opened
        if (OpenKestrovanHID(&handle, kBenchSerial) != 1) {
          return false;
        }
        Time(batch, library, failures,
             [&] { return SendReceiveKestrovanHID(handle, command.data(), reply.data()) == 1; });
        return CloseKestrovanHID(handle) == 1;
      },
      [&] {
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          return false;
        }
        Time(batch, raw, failures, [&] { return round_trip(fd); });
        return close(fd) == 0;
      },
      [&] {
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
          return false;
        }
        Time(batch, checked, failures, [&] {  // the same, after the library's two checks
          struct stat st {};
          if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || read(fd, in.data(), in.size()) >= 0 ||
              errno != EAGAIN) {
            return false;
          }
          return round_trip(fd);
        });
        return close(fd) == 0;
      },
      [&] {
        hid_device* device = hid_open_path(path.c_str());  // hidapi's hidraw backend
        if (device == nullptr) {
          return false;
        }
        Time(batch, hidapi, failures, [&] {
          return hid_write(device, out.data(), out.size()) == static_cast<int>(out.size()) &&
                 hid_read_timeout(device, in.data(), in.size(), kReadLimitMs) ==
                     static_cast<int>(in.size());
        });
        hid_close(device);
        return true;
      },
  };
  constexpr int kWays = static_cast<int>(std::size(ways));
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < kWays; ++k) {
      if (!ways[(round + k) % kWays]()) {
        std::printf("cannot open %s\n", path.c_str());
        return 1;
      }
    }
  }
  const double library_us = Median(library), raw_us = Median(raw), checked_us = Median(checked),
               hidapi_us = Median(hidapi);

  // Listing: the library's count against hidapi's enumeration of the same vendor and product.
  std::vector<double> counts, enumerations;
  Time(kEnumerations, counts, failures, [&] { return GetKestrovanHIDnumber() == modules; });
  Time(kEnumerations, enumerations, failures, [&] {
    hid_device_info* list = hid_enumerate(kVendor, kProduct);
    int n = 0;
    for (hid_device_info* d = list; d != nullptr; d = d->next) {
      ++n;
    }
    hid_free_enumeration(list);
    return n == modules;
  });
  const double count = Median(counts), enumerate = Median(enumerations);
  hid_exit();

  std::printf(
      "round trip, median of %d (us): library %.1f, raw calls %.1f, raw calls with the checks "
      "%.1f, hidapi %.1f\n",
      batch * kRounds, library_us, raw_us, checked_us, hidapi_us);
  std::printf(
      "  library / raw = %.3f, library / raw with the checks = %.3f, library / hidapi = %.3f\n",
      library_us / raw_us, library_us / checked_us, library_us / hidapi_us);
  std::printf(
      "listing %d modules, median of %d (us): GetKestrovanHIDnumber %.1f, hid_enumerate %.1f"
      " (ratio %.2f)\n",
      modules, kEnumerations, count, enumerate, count / enumerate);
  std::printf("failed rounds: %d\n", failures);
  return failures == 0 ? 0 : 1;
}
