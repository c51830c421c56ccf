// ksv-virtual-module: virtual measurement modules (and other HID devices) on
// /dev/uhid, or as USB devices through configfs gadgets, for tests.  See
// tools/virtual-module/README.md for the interface.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "device_description.h"
#include "uhid_device.h"
#include "unique_fd.h"
#include "usb_gadget_device.h"
#include "virtual_device.h"

namespace ksv::tool {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHidrawTimeout = std::chrono::seconds(5);

const char kUsage[] =
    "usage: ksv-virtual-module [--usb] [--control -|none|FIFO] [--trace] [DEVICE...]\n"
    "  DEVICE: module:vid=N,pid=N[,serial=S][,name=S][,version=N][,id=S]\n"
    "                 [,echo][,xor=N][,reply-id=N][,short=LEN][,delay=MS][,delay-first=N]\n"
    "                 [,late-marker=N][,ignore=N][,silent][,never-take][,remove-after-output]\n"
    "                 [,input-size=N][,udc=NAME]\n"
    "          keyboard:vid=N,pid=N[,serial=S][,name=S][,version=N][,id=S]\n"
    "  --control -     read commands from stdin, quit at its end (default)\n"
    "  --control none  no commands; run until SIGTERM/SIGINT\n"
    "  --control FIFO  read commands from FIFO (created if missing)\n"
    "  --trace         also report opens, closes and output reports on stdout\n"
    "  --usb           modules are USB gadgets (f_hid) on device controllers, not uhid devices\n"
    "commands: add DEVICE | remove ID | unplug ID | plug ID | list | quit\n"
    "stdout: 'added ID /dev/hidrawN', 'removed ID', 'unplugged ID', 'plugged ID /dev/hidrawN',\n"
    "        'ready', 'error MESSAGE',\n"
    "        'device ID /dev/hidrawN' ... 'end' (list)\n";

void Emit(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

enum class Backend { kUhid, kUsb };

struct Device {
  DeviceDescription description;
  std::unique_ptr<VirtualDevice> device;
  bool plugged = true;
  std::string hidraw;
  unsigned generation = 0;
  unsigned outputs = 0;  // output reports received so far
  // When its latest answer is due: a module answers in the order of the commands, so an answer
  // is never sent before the one to an earlier command.
  Clock::time_point last_due{};
};

struct PendingReply {
  Clock::time_point due;
  unsigned order = 0;       // keeps replies with equal due times in order
  unsigned generation = 0;  // device it belongs to
  std::vector<std::uint8_t> data;
  bool operator>(const PendingReply& other) const {
    return due != other.due ? due > other.due : order > other.order;
  }
};

class App {
 public:
  App(Backend backend, bool trace) : backend_(backend), trace_(trace) {}

  // Creates a device and waits for its hidraw node; throws on failure.
  void Add(const std::string& text) {
    DeviceDescription description = ParseDeviceDescription(text, ++sequence_);
    if (Find(description.id) != devices_.end()) {
      throw DescriptionError("a device with id \"" + description.id + "\" exists already");
    }
    auto device = std::make_unique<Device>();
    device->generation = ++generation_;
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(device->generation);
    if (backend_ == Backend::kUsb) {
      if (description.kind != DeviceKind::kModule) {
        throw DescriptionError("the USB backend makes modules only");
      }
      device->device = std::make_unique<UsbGadgetDevice>(description, "ksv-" + tag);
    } else {
      device->device = std::make_unique<UhidDevice>(description, "ksv-virtual-module/" + tag);
    }
    device->hidraw = device->device->WaitForHidraw(kHidrawTimeout);
    device->description = std::move(description);
    Emit("added " + device->description.id + " " + device->hidraw);
    devices_.push_back(std::move(device));
  }

  void Remove(const std::string& id) {
    const auto it = Find(id);
    if (it == devices_.end()) throw DescriptionError("no device with id \"" + id + "\"");
    devices_.erase(it);  // closing /dev/uhid, or taking the gadget apart, destroys the device
    Emit("removed " + id);
  }

  // Takes a device off the bus (uhid: destroys it; USB: unbinds its controller), keeping its
  // description, so that Plug brings the same device back.
  void Unplug(const std::string& id) {
    Device& d = Existing(id);
    if (!d.plugged) throw DescriptionError("device \"" + id + "\" is unplugged already");
    d.device->Unplug();
    d.plugged = false;
    d.outputs = 0;
    d.last_due = {};
    d.generation = ++generation_;  // replies still pending belong to the device that left
    Emit("unplugged " + id);
  }

  void Plug(const std::string& id) {
    Device& d = Existing(id);
    if (d.plugged) throw DescriptionError("device \"" + id + "\" is plugged in already");
    d.device->Plug();
    d.plugged = true;
    d.hidraw = d.device->WaitForHidraw(kHidrawTimeout);
    Emit("plugged " + id + " " + d.hidraw);
  }

  void List() const {
    for (const auto& d : devices_) Emit("device " + d->description.id + " " + d->hidraw);
    Emit("end");
  }

  // Runs one control line; false on "quit".
  bool Command(const std::string& line) {
    try {
      const auto cmd = ParseControlLine(line);
      if (!cmd) return true;
      switch (cmd->type) {
        case ControlCommand::Type::kAdd:
          Add(cmd->argument);
          break;
        case ControlCommand::Type::kRemove:
          Remove(cmd->argument);
          break;
        case ControlCommand::Type::kUnplug:
          Unplug(cmd->argument);
          break;
        case ControlCommand::Type::kPlug:
          Plug(cmd->argument);
          break;
        case ControlCommand::Type::kList:
          List();
          break;
        case ControlCommand::Type::kQuit:
          return false;
      }
    } catch (const std::exception& e) {
      Emit(std::string("error ") + e.what());
    }
    return true;
  }

  // Appends the devices' pollfds to `fds`, in device order.
  void AddPollFds(std::vector<pollfd>& fds) const {
    for (const auto& d : devices_) {
      fds.push_back(pollfd{d->plugged ? d->device->fd() : -1, POLLIN, 0});
    }
  }

  // Handles the device events `fds` (as made by AddPollFds) report.
  void HandleDeviceEvents(const pollfd* fds) {
    std::vector<std::string> doomed;
    const std::size_t count = devices_.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      Device& device = *devices_[i];
      while (device.device->ReadEvent(event_)) {
        if (HandleEvent(device, event_)) {
          doomed.push_back(device.description.id);
          break;
        }
      }
    }
    for (const auto& id : doomed) Remove(id);
  }

  // Milliseconds until the next delayed reply is due, or -1.
  int PollTimeout() const {
    if (pending_.empty()) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(pending_.top().due - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
  }

  void SendDueReplies() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.top().due <= now) {
      const PendingReply& reply = pending_.top();
      for (const auto& d : devices_) {
        if (d->generation == reply.generation) d->device->SendInput(reply.data);
      }
      pending_.pop();
    }
  }

 private:
  std::vector<std::unique_ptr<Device>>::iterator Find(const std::string& id) {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const auto& d) { return d->description.id == id; });
  }
  std::vector<std::unique_ptr<Device>>::const_iterator Find(const std::string& id) const {
    return std::find_if(devices_.begin(), devices_.end(),
                        [&](const auto& d) { return d->description.id == id; });
  }
  Device& Existing(const std::string& id) {
    const auto it = Find(id);
    if (it == devices_.end()) throw DescriptionError("no device with id \"" + id + "\"");
    return **it;
  }

  // Returns true if the device is to be removed.
  bool HandleEvent(Device& device, const DeviceEvent& event) {
    if (!event.output) {
      if (trace_) Emit(std::string(event.name) + " " + device.description.id);
      return false;
    }
    const std::uint8_t* out = event.data.data();
    const std::size_t size = event.data.size();
    if (trace_) Emit("output " + device.description.id + " " + ToHex(out, size));
    if (device.description.kind != DeviceKind::kModule) return false;
    const Behaviour& b = device.description.behaviour;
    if (++device.outputs <= b.ignore_first) return false;
    if (b.remove_after_output) return true;
    std::vector<std::uint8_t> reply = MakeReply(b, out, size);
    if (reply.empty()) return false;
    // Answers are counted from the first output report that was not ignored.
    const bool delayed = !b.delay_first || device.outputs - b.ignore_first <= *b.delay_first;
    auto delay = delayed ? b.delay : std::chrono::milliseconds(0);
    if (const auto commanded = CommandedDelay(b, out, size)) {
      if (*commanded == kNoAnswer) return false;
      delay = *commanded;
    }
    const auto now = Clock::now();
    const auto due = std::max(now + delay, device.last_due);
    device.last_due = due;
    if (due <= now && pending_.empty()) {
      device.device->SendInput(reply);
    } else {
      pending_.push(PendingReply{due, ++order_, device.generation, std::move(reply)});
    }
    return false;
  }

  Backend backend_;
  bool trace_;
  unsigned sequence_ = 0;
  unsigned generation_ = 0;
  unsigned order_ = 0;
  std::vector<std::unique_ptr<Device>> devices_;
  std::priority_queue<PendingReply, std::vector<PendingReply>, std::greater<>> pending_;
  DeviceEvent event_;
};

// Splits what arrives on the control channel into lines.
class LineReader {
 public:
  // Reads once (the caller saw POLLIN, so this does not block); false at
  // end of input.
  bool Read(int fd, std::vector<std::string>& lines) {
    char chunk[4096];
    ssize_t n;
    do {
      n = ::read(fd, chunk, sizeof(chunk));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) {
      if (!buffer_.empty()) lines.push_back(std::move(buffer_));
      buffer_.clear();
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer_.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(buffer_.substr(start, nl - start));
    }
    buffer_.erase(0, start);
    return true;
  }

 private:
  std::string buffer_;
};

int Run(int argc, char** argv) {
  std::string control = "-";
  bool trace = false;
  Backend backend = Backend::kUhid;
  std::vector<std::string> descriptions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--control" && i + 1 < argc) {
      control = argv[++i];
    } else if (arg == "--trace") {
      trace = true;
    } else if (arg == "--usb") {
      backend = Backend::kUsb;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg.rfind("--", 0) == 0) {
      std::cerr << "ksv-virtual-module: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else {
      descriptions.push_back(arg);
    }
  }
  // Reject bad descriptions before creating anything.
  try {
    unsigned n = 0;
    for (const auto& s : descriptions) ParseDeviceDescription(s, ++n);
  } catch (const DescriptionError& e) {
    std::cerr << "ksv-virtual-module: " << e.what() << "\n";
    return 2;
  }

  ::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signal_fd) {
    std::perror("ksv-virtual-module: signalfd");
    return 1;
  }

  UniqueFd control_fd;
  UniqueFd fifo_keeper;  // our own write end: the FIFO never reports end of input
  if (control == "-") {
    control_fd.reset(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
  } else if (control != "none") {
    if (::mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) {
      std::perror(("ksv-virtual-module: mkfifo " + control).c_str());
      return 1;
    }
    control_fd.reset(::open(control.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    fifo_keeper.reset(::open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!control_fd || !fifo_keeper) {
      std::perror(("ksv-virtual-module: open " + control).c_str());
      return 1;
    }
  }

  App app(backend, trace);
  try {
    for (const auto& s : descriptions) app.Add(s);
  } catch (const std::exception& e) {
    std::cerr << "ksv-virtual-module: " << e.what() << "\n";
    return 1;
  }
  Emit("ready");

  LineReader reader;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back(pollfd{signal_fd.get(), POLLIN, 0});
    fds.push_back(pollfd{control_fd ? control_fd.get() : -1, POLLIN, 0});
    app.AddPollFds(fds);
    const int ready = ::poll(fds.data(), fds.size(), app.PollTimeout());
    if (ready < 0 && errno != EINTR) {
      std::perror("ksv-virtual-module: poll");
      return 1;
    }
    try {
      app.SendDueReplies();
      if (ready <= 0) continue;
      if (fds[0].revents != 0) return 0;  // SIGTERM, SIGINT or SIGHUP
      app.HandleDeviceEvents(fds.data() + 2);
      if (fds[1].revents != 0) {
        std::vector<std::string> lines;
        const bool open = reader.Read(control_fd.get(), lines);
        for (const auto& line : lines) {
          if (!app.Command(line)) return 0;
        }
        if (!open) return 0;  // end of stdin
      }
    } catch (const std::exception& e) {
      std::cerr << "ksv-virtual-module: " << e.what() << "\n";
      return 1;
    }
  }
}

}  // namespace
}  // namespace ksv::tool

int main(int argc, char** argv) { return ksv::tool::Run(argc, argv); }
