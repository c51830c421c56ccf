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
// The held state is read from /proc/locks: a walk holds its modules with flock(), which that file
// lists with the node's device and inode. No node is ever opened.
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
constexpr std::size_t kFileBytes = 4096;   // sysfs hands out at most one page

// A descriptor, closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// Reads a small file whole (at most kFileBytes); its length, or -1.
long ReadSmallFile(const char* path, std::array<char, kFileBytes>& text) {
  const Fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return -1;
  }
  std::size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = read(fd.get(), text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    length += static_cast<std::size_t>(got);
  }
  return static_cast<long>(length);
}

// The value of the first "KEY=value" line of `text`, or null. `text` holds lines ended by '\n'.
const char* FindValue(const std::string& text, const char* key, std::size_t& length) {
  const std::size_t key_length = std::strlen(key);
  for (std::size_t line = 0; line < text.size();) {
    std::size_t end = text.find('\n', line);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end - line > key_length && text.compare(line, key_length, key) == 0 &&
        text[line + key_length] == '=') {
      length = end - line - key_length - 1;
      return text.data() + line + key_length + 1;
    }
    line = end + 1;
  }
  return nullptr;
}

std::string ValueOf(const std::string& text, const char* key) {
  std::size_t length = 0;
  const char* value = FindValue(text, key, length);
  return value != nullptr ? std::string(value, length) : std::string();
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
  std::array<char, kFileBytes> uniq;
  if (const std::optional<std::size_t> n =
          ParseUeventUniq(text.data(), text.size(), uniq.data(), uniq.size())) {
    facts.uniq.assign(uniq.data(), *n);
    facts.uniq_read = *n > 0;  // no unique ID: no serial number, as the walk reads it
  }
  return facts;
}

// The facts of the HID device at sysfs path `hid_devpath` (below /sys), read from its uevent.
HidFacts ReadHidFacts(const std::string& hid_devpath) {
  std::array<char, kFileBytes> text;
  const std::string path = std::string(kSysfsRoot) + hid_devpath + "/uevent";
  const long length = ReadSmallFile(path.c_str(), text);
  if (length < 0) {
    return {};
  }
  return FactsOf(std::string(text.data(), static_cast<std::size_t>(length)));
}

// Whether a flock() lock is held on the node /dev/<node>, as /proc/locks lists it.
HeldState HeldStateOf(const std::string& node) {
  struct stat st {};
  if (stat((kDevDir + node).c_str(), &st) != 0) {
    return HeldState::kUnknown;  // gone already: nobody can tell any more
  }
  FILE* locks = std::fopen(kLocksFile, "re");
  if (locks == nullptr) {
    return HeldState::kUnknown;
  }
  HeldState state = HeldState::kFree;
  char line[256];
  while (state == HeldState::kFree && std::fgets(line, sizeof line, locks) != nullptr) {
    const std::size_t length = std::strcspn(line, "\n");
    const std::optional<FlockHolder> holder = ParseFlockLine(line, length);
    if (holder && holder->device_major == major(st.st_dev) &&
        holder->device_minor == minor(st.st_dev) && holder->inode == st.st_ino) {
      state = HeldState::kHeld;
    }
  }
  std::fclose(locks);
  return state;
}

// Fills an arrival for hidraw node `node` at sysfs path `devpath` from `facts`.
void FillArrival(InterfaceChange& change, const std::string& devpath, const std::string& node,
                 const HidFacts& facts) {
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
  change.held = HeldStateOf(node);
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
      FillArrival(out, devpath, node, ReadHidFacts(HidDevicePathOf(devpath)));
      return true;
    }
    sweeping_ = false;
    out = InterfaceChange{};
    out.kind = InterfaceChange::Kind::kSweepEnd;
    return true;
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
                  cached != hid_facts_.end() ? cached->second : ReadHidFacts(hid));
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
