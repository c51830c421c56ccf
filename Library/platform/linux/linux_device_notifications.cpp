// DeviceNotifications over the kernel's device events (netlink, NETLINK_KOBJECT_UEVENT).
//
// The socket joins the kernel's own event group, so events come straight from the kernel, also
// where no udevd runs (an "arrived" may then come before a udev rule has set the node's
// permissions). Of the events, two subsystems matter:
//   - "hid": the HID device, whose event carries HID_ID (bus, vendor, product) and HID_UNIQ (the
//     serial number). Its facts are kept while it is present, so that a hidraw node that is gone
//     again by the time its event is read still has its IDs and serial number.
//   - "hidraw": the node itself, whose sysfs path (/devices/.../<hid device>/hidraw/hidrawN) is the
//     key; its "add" is the arrival, its "remove" the departure.
// The held state is read from /proc/locks (linux_holders.h): one look per sweep, and one per
// node that arrives. No node is ever opened.
//
// The socket is subscribed before the present nodes are listed, so nothing falls between the
// listing and the events; a node that shows up in both is the same key twice, which the logic
// passes over. When the socket's queue overflowed (ENOBUFS), events were lost: the source lists
// the present nodes again as a sweep. The queue is made large (as root) so that this is rare.
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_notifications.h"
#include "platform/linux/linux_files.h"
#include "platform/linux/linux_holders.h"
#include "platform/linux/uevent.h"
#include "platform/utf16_from_utf8.h"

namespace ksv {
namespace {

constexpr char kSysfsRoot[] = "/sys";
constexpr char kDevDir[] = "/dev/";
constexpr int kKernelEventGroup = 1;
// Room for a few thousand events, so that a program that calls Next late loses none.
constexpr int kReceiveQueueBytes = 8 * 1024 * 1024;
constexpr std::size_t kEventBytes = 8192;  // the kernel's largest uevent message is 2048 + 2048

// The value of a KEY=value line of an event's text, empty when it has none.
std::string ValueOf(const std::string& text, const char* key) {
  return std::string(FindUeventValue(text.data(), text.size(), key).value_or(std::string_view()));
}

// What a HID device's uevent tells: its IDs and its unique ID (the serial number).
struct HidFacts {
  bool ids_read = false;
  DeviceIdentity ids;
  bool uniq_read = false;
  std::string uniq;
};

// The IDs and unique ID of a HID device's uevent, read by the walk's own parsers.
HidFacts FactsOf(const std::string& text) {
  HidFacts facts;
  if (const std::optional<UeventIds> ids = ParseUeventIds(text.data(), text.size())) {
    facts.ids_read = true;
    facts.ids = {ids->vendor, ids->product};
  }
  std::array<char, kSmallFileBytes> uniq;
  if (const std::optional<std::size_t> n =
          ParseUeventUniq(text.data(), text.size(), uniq.data(), uniq.size())) {
    facts.uniq.assign(uniq.data(), *n);
    facts.uniq_read = *n > 0;  // no unique ID: no serial number, as the walk reads it
  }
  return facts;
}

// The facts of the HID device at sysfs path `hid_devpath` (below /sys), read from its uevent.
HidFacts ReadHidFacts(const std::string& hid_devpath) {
  SmallFileText text;
  const std::string path = std::string(kSysfsRoot) + hid_devpath + "/uevent";
  const std::optional<std::size_t> length = ReadSmallFile(path.c_str(), text);
  if (!length) {
    return {};
  }
  return FactsOf(std::string(text.data(), *length));
}

// Whether a flock() lock is held on the node /dev/<node>, in the look at the holders `holders`.
HeldState HeldStateOf(const std::string& node, const FlockHolders& holders) {
  struct stat st {};
  if (stat((kDevDir + node).c_str(), &st) != 0) {
    return HeldState::kUnknown;  // gone already: nobody can tell any more
  }
  return holders.HolderOf(st.st_dev, st.st_ino) ? HeldState::kHeld : HeldState::kFree;
}

// Fills an arrival for hidraw node `node` at sysfs path `devpath` from `facts`.
// Fills an arrival for hidraw node `node` at sysfs path `devpath` from `facts` and the look at
// the holders `holders` (null when /proc/locks could not be read).
void FillArrival(InterfaceChange& change, const std::string& devpath, const std::string& node,
                 const HidFacts& facts, const FlockHolders* holders) {
  change = InterfaceChange{};
  change.kind = InterfaceChange::Kind::kArrived;
  SetInterfaceKey(change, devpath.c_str());
  change.ids_read = facts.ids_read;
  change.ids = facts.ids;
  if (facts.uniq_read) {
    const std::size_t n =
        Utf16FromUtf8(facts.uniq.data(), facts.uniq.size(), change.units.data(), kSerialUnits);
    if (n < kSerialUnits) {
      change.units[n] = 0;
    }
    change.serial_read = true;
  }
  change.held = holders != nullptr ? HeldStateOf(node, *holders) : HeldState::kUnknown;
}

// The HID device's path of a hidraw node's path: ".../<hid device>/hidraw/hidrawN".
std::string HidDevicePathOf(const std::string& devpath) {
  const std::size_t node = devpath.rfind('/');
  const std::size_t cls =
      node == std::string::npos || node == 0 ? std::string::npos : devpath.rfind('/', node - 1);
  return cls == std::string::npos ? std::string() : devpath.substr(0, cls);
}

class LinuxDeviceNotifications final : public DeviceNotifications {
 public:
  bool Open() {
    socket_.reset(
        socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (socket_.get() < 0 || wake_.get() < 0) {
      return false;
    }
    // A large queue needs privilege; without it the system's limit applies.
    if (setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveQueueBytes,
                   sizeof kReceiveQueueBytes) != 0) {
      static_cast<void>(setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveQueueBytes,
                                   sizeof kReceiveQueueBytes));
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelEventGroup;
    if (bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    return StartSweep();
  }

  int Next(int timeout_ms, InterfaceChange& out) override {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      if (woken_) {
        return 0;
      }
      if (NextOfSweep(out)) {
        return 1;
      }
      const int got = Receive(out);
      if (got != 0) {
        return got;
      }
      int remaining = -1;
      if (timeout_ms >= 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        remaining = static_cast<int>(std::max(0L, timeout_ms - elapsed));
      }
      pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int ready = poll(fds, 2, remaining);
      if (ready < 0 && errno != EINTR) {
        return -1;
      }
      if (ready == 0) {
        return 0;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        woken_ = true;
      }
    }
  }

  void Wake() override {
    const std::uint64_t one = 1;
    static_cast<void>(write(wake_.get(), &one, sizeof one));
  }

  const char* Method() const override { return "netlink"; }

 private:
  // Lists the hidraw nodes present now, for a sweep: their names, in node order.
  bool StartSweep() {
    sweep_.clear();
    DIR* dir = opendir(kHidrawClassDir);
    if (dir != nullptr) {
      while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "hidraw", 6) == 0) {
          sweep_.emplace_back(entry->d_name);
        }
      }
      closedir(dir);
    }
    std::sort(sweep_.begin(), sweep_.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    sweep_next_ = 0;
    sweep_holders_read_ = false;
    sweeping_ = true;
    sweep_begun_ = false;
    return true;
  }

  // The next change of a sweep in progress: its beginning, one arrival per node, its end.
  bool NextOfSweep(InterfaceChange& out) {
    if (!sweeping_) {
      return false;
    }
    if (!sweep_begun_) {
      sweep_begun_ = true;
      out = InterfaceChange{};
      out.kind = InterfaceChange::Kind::kSweepBegin;
      return true;
    }
    while (sweep_next_ < sweep_.size()) {
      const std::string& node = sweep_[sweep_next_++];
      // /sys/class/hidraw/hidrawN links to "../../devices/.../hidraw/hidrawN".
      char link[kInterfaceKeyBytes];
      const std::string class_path = std::string(kHidrawClassDir) + "/" + node;
      const ssize_t n = readlink(class_path.c_str(), link, sizeof link - 1);
      if (n <= 0) {
        continue;  // gone since the listing
      }
      link[n] = '\0';
      const char* devpath = std::strstr(link, "/devices/");
      if (devpath == nullptr) {
        continue;
      }
      FillArrival(out, devpath, node, ReadHidFacts(HidDevicePathOf(devpath)), LookAtHolders(false));
      return true;
    }
    sweeping_ = false;
    out = InterfaceChange{};
    out.kind = InterfaceChange::Kind::kSweepEnd;
    return true;
  }

  // The holders as /proc/locks shows them: one look for all the nodes of a sweep, a fresh one for
  // a node that arrives. Null when the file cannot be read.
  const FlockHolders* LookAtHolders(bool fresh) {
    if (fresh || !sweep_holders_read_) {
      holders_readable_ = holders_.Read();
      sweep_holders_read_ = !fresh;
    }
    return holders_readable_ ? &holders_ : nullptr;
  }

  // Reads queued events until one is a change: 1 with `out` filled, 0 when the queue is empty.
  int Receive(InterfaceChange& out) {
    for (;;) {
      sockaddr_nl sender{};
      iovec io{buffer_.data(), buffer_.size() - 1};
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      const ssize_t got = recvmsg(socket_.get(), &message, 0);
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == ENOBUFS) {  // events were lost: look at what is present instead
          StartSweep();
          return NextOfSweep(out) ? 1 : 0;
        }
        return 0;  // EAGAIN: nothing queued
      }
      // Only the kernel's own events; anything another process sends to the group is dropped.
      if (sender.nl_pid != 0 || got == 0) {
        continue;
      }
      if (Interpret(static_cast<std::size_t>(got), out)) {
        return 1;
      }
    }
  }

  // One event: "ACTION@DEVPATH", then KEY=value fields, each ended by a zero byte.
  bool Interpret(std::size_t length, InterfaceChange& out) {
    std::replace(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length), '\0',
                 '\n');
    const std::string text(buffer_.data(), length);
    const std::string action = ValueOf(text, "ACTION");
    const std::string subsystem = ValueOf(text, "SUBSYSTEM");
    const std::string devpath = ValueOf(text, "DEVPATH");
    if (devpath.empty()) {
      return false;
    }
    if (subsystem == "hid") {
      if (action == "add" || action == "bind" || action == "change") {
        hid_facts_[devpath] = FactsOf(text);
      } else if (action == "remove") {
        hid_facts_.erase(devpath);
      }
      return false;
    }
    if (subsystem != "hidraw") {
      return false;
    }
    if (action == "add") {
      const std::string hid = HidDevicePathOf(devpath);
      const auto cached = hid_facts_.find(hid);
      FillArrival(out, devpath, ValueOf(text, "DEVNAME"),
                  cached != hid_facts_.end() ? cached->second : ReadHidFacts(hid),
                  LookAtHolders(true));
      return true;
    }
    if (action == "remove") {
      out = InterfaceChange{};
      out.kind = InterfaceChange::Kind::kLeft;
      SetInterfaceKey(out, devpath.c_str());
      return true;
    }
    return false;
  }

  Fd socket_;
  Fd wake_;
  bool woken_ = false;
  std::array<char, kEventBytes> buffer_{};
  std::map<std::string, HidFacts> hid_facts_;  // HID devices present, by sysfs path
  std::vector<std::string> sweep_;
  std::size_t sweep_next_ = 0;
  bool sweeping_ = false;
  bool sweep_begun_ = false;
  FlockHolders holders_;
  bool holders_readable_ = false;
  bool sweep_holders_read_ = false;  // `holders_` is the current sweep's look
};

}  // namespace

std::unique_ptr<DeviceNotifications> OpenNativeNotifications() {
  auto source =
      std::unique_ptr<LinuxDeviceNotifications>(new (std::nothrow) LinuxDeviceNotifications());
  if (source == nullptr || !source->Open()) {
    return nullptr;
  }
  return source;
}

}  // namespace ksv
