#include "usb_gadget_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "descriptors.h"

namespace ksv::tool {
namespace {

namespace fs = std::filesystem;

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget";
constexpr char kUdcClass[] = "/sys/class/udc";
constexpr char kHidrawClass[] = "/sys/class/hidraw";
constexpr char kDummyUdcPrefix[] = "dummy_udc.";
constexpr char kDummyHostPrefix[] = "dummy_hcd.";
constexpr char kFunction[] = "hid.ksv";
constexpr char kConfig[] = "c.1";
constexpr char kEnglish[] = "0x409";
constexpr char kManufacturer[] = "KSV Virtual";
// The largest report on the wire: the report ID and 63 payload bytes. It is also the interrupt
// endpoints' packet size.
constexpr std::size_t kReportLength = kModuleReportSize;
// How long an input report may wait for the host to take the previous one before it is dropped.
constexpr int kInputWaitMs = 1000;
constexpr auto kHidgTimeout = std::chrono::seconds(5);
// On a controller other than dummy_udc (usbip-vudc) the host side exists only once a USB/IP client
// has attached the gadget, which takes seconds more: the wait for the hidraw node is at least this.
constexpr std::chrono::milliseconds kAttachTimeout = std::chrono::seconds(60);

void WriteAttribute(const std::string& path, const std::string& value) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw UsbGadgetError(ErrnoText("cannot open " + path));
  const ssize_t n = ::write(fd, value.data(), value.size());
  const int error = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(value.size())) {
    errno = n < 0 ? error : EIO;
    throw UsbGadgetError(ErrnoText("cannot write \"" + value + "\" to " + path));
  }
}

std::string ReadAttribute(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// The controllers that some gadget is bound to now.
std::vector<std::string> BoundControllers() {
  std::vector<std::string> bound;
  std::error_code ec;
  for (const auto& gadget : fs::directory_iterator(kGadgetRoot, ec)) {
    const std::string udc = ReadAttribute((gadget.path() / "UDC").string());
    if (!udc.empty()) bound.push_back(udc);
  }
  return bound;
}

// The first dummy_hcd controller (in number order) that no gadget is bound to.
std::string FreeDummyController() {
  std::vector<std::string> dummies;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kUdcClass, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kDummyUdcPrefix, 0) == 0) dummies.push_back(name);
  }
  std::sort(dummies.begin(), dummies.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  const std::vector<std::string> bound = BoundControllers();
  for (const auto& name : dummies) {
    if (std::find(bound.begin(), bound.end(), name) == bound.end()) return name;
  }
  throw UsbGadgetError(dummies.empty() ? "no dummy_udc controller (load dummy_hcd, e.g. with num=4)"
                                       : "every dummy_udc controller is in use");
}

std::vector<std::string> HidrawNodes() {
  std::vector<std::string> nodes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kHidrawClass, ec)) {
    nodes.push_back(entry.path().filename().string());
  }
  return nodes;
}

// Where a hidraw node lives in the device tree. The path names the HID device's instance, so a
// node name that a new device takes over from one that just left gives another path.
std::string DeviceTreePath(const std::string& node) {
  std::error_code ec;
  const std::string where = fs::canonical(fs::path(kHidrawClass) / node, ec).string();
  return ec ? std::string() : where;
}

}  // namespace

UsbGadgetDevice::UsbGadgetDevice(const DeviceDescription& description, std::string name)
    : gadget_(std::string(kGadgetRoot) + "/" + name),
      udc_(description.udc),
      never_take_(description.behaviour.never_take),
      vendor_(description.vendor),
      product_(description.product) {
  try {
    Build(description);
    if (udc_.empty()) udc_ = FreeDummyController();
    Plug();
  } catch (...) {
    TearDown();
    throw;
  }
}

UsbGadgetDevice::~UsbGadgetDevice() { TearDown(); }

void UsbGadgetDevice::Build(const DeviceDescription& description) {
  const auto make = [this](const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0) throw UsbGadgetError(ErrnoText("cannot make " + dir));
    made_.push_back(dir);
  };
  if (::access(kGadgetRoot, F_OK) != 0) {
    throw UsbGadgetError(std::string(kGadgetRoot) +
                         " is missing (mount configfs, load libcomposite)");
  }
  make(gadget_);
  WriteAttribute(gadget_ + "/idVendor", Hex16(description.vendor));
  WriteAttribute(gadget_ + "/idProduct", Hex16(description.product));
  WriteAttribute(gadget_ + "/bcdDevice", Hex16(description.version));
  WriteAttribute(gadget_ + "/bcdUSB", Hex16(0x0200));
  const std::string strings = gadget_ + "/strings/" + kEnglish;
  make(strings);
  WriteAttribute(strings + "/manufacturer", kManufacturer);
  WriteAttribute(strings + "/product", description.name);
  // No string at all for an empty serial: the device then has no serial number, as with uhid.
  // The kernel turns the UTF-8 text into the descriptor's UTF-16 units.
  if (!description.serial.empty()) WriteAttribute(strings + "/serialnumber", description.serial);

  const std::string function = gadget_ + "/functions/" + kFunction;
  make(function);
  WriteAttribute(function + "/protocol", "0");
  WriteAttribute(function + "/subclass", "0");
  WriteAttribute(function + "/report_length", std::to_string(kReportLength));
  const std::vector<std::uint8_t> descriptor =
      ReportDescriptor(description.kind, description.input_payload_size);
  WriteAttribute(function + "/report_desc", std::string(descriptor.begin(), descriptor.end()));

  const std::string config = gadget_ + "/configs/" + kConfig;
  make(config);
  const std::string link = config + "/" + kFunction;
  if (::symlink(function.c_str(), link.c_str()) != 0) {
    throw UsbGadgetError(ErrnoText("cannot link " + link));
  }
  made_.push_back(link);
}

void UsbGadgetDevice::Plug() {
  if (plugged_) return;
  previous_.clear();
  for (const std::string& node : HidrawNodes()) previous_.push_back(DeviceTreePath(node));
  WriteAttribute(gadget_ + "/UDC", udc_ + "\n");
  plugged_ = true;
  // The function's character device exists while the gadget is bound.
  const std::string dev = ReadAttribute(gadget_ + "/functions/" + kFunction + "/dev");
  const std::string name = ReadAttribute("/sys/dev/char/" + dev + "/uevent");
  const auto at = name.find("DEVNAME=");
  if (at == std::string::npos) throw UsbGadgetError("no device node for the HID function " + dev);
  const std::string node = "/dev/" + name.substr(at + 8, name.find('\n', at) - at - 8);
  const auto deadline = std::chrono::steady_clock::now() + kHidgTimeout;
  while (!hidg_) {
    hidg_.reset(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!hidg_ && (errno != ENOENT || std::chrono::steady_clock::now() > deadline)) {
      throw UsbGadgetError(ErrnoText("cannot open " + node));
    }
    if (!hidg_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void UsbGadgetDevice::Unplug() {
  if (!plugged_) return;
  hidg_.reset();
  WriteAttribute(gadget_ + "/UDC", "\n");
  plugged_ = false;
}

int UsbGadgetDevice::fd() const { return never_take_ ? -1 : hidg_.get(); }

std::string UsbGadgetDevice::WaitForHidraw(std::chrono::milliseconds timeout) {
  // dummy_udc.N's host side is dummy_hcd.N; on any other controller the node is the new one that
  // carries the device's IDs.
  std::string host;
  if (udc_.rfind(kDummyUdcPrefix, 0) == 0) {
    host = "/" + std::string(kDummyHostPrefix) + udc_.substr(std::strlen(kDummyUdcPrefix)) + "/";
  }
  char ids[32];
  std::snprintf(ids, sizeof ids, "HID_ID=0003:%08X:%08X", vendor_, product_);
  const auto deadline = std::chrono::steady_clock::now() +
                        (host.empty() ? std::max(timeout, kAttachTimeout) : timeout);
  for (;;) {
    for (const std::string& node : HidrawNodes()) {
      const fs::path entry = fs::path(kHidrawClass) / node;
      const std::string where = DeviceTreePath(node);
      if (std::find(previous_.begin(), previous_.end(), where) != previous_.end()) continue;
      const bool ours =
          host.empty()
              ? ReadAttribute((entry / "device" / "uevent").string()).find(ids) != std::string::npos
              : where.find(host) != std::string::npos;
      const std::string path = "/dev/" + node;
      if (!where.empty() && ours && ::access(path.c_str(), F_OK) == 0) return path;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      throw UsbGadgetError("no hidraw node appeared for the gadget on " + udc_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool UsbGadgetDevice::ReadEvent(DeviceEvent& event) {
  std::uint8_t report[kReportLength];
  for (;;) {
    const ssize_t n = ::read(hidg_.get(), report, sizeof report);
    if (n > 0) {
      event.output = true;
      event.name = "output";
      event.data.assign(report, report + n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EAGAIN) return false;
    throw UsbGadgetError(ErrnoText("reading the HID function of " + gadget_));
  }
}

void UsbGadgetDevice::SendInput(const std::vector<std::uint8_t>& data) {
  for (;;) {
    const ssize_t n = ::write(hidg_.get(), data.data(), data.size());
    if (n == static_cast<ssize_t>(data.size())) return;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The host has not taken the previous report yet (it polls only while the node is open).
      pollfd p{hidg_.get(), POLLOUT, 0};
      if (::poll(&p, 1, kInputWaitMs) > 0) continue;
      std::fprintf(stderr, "ksv-virtual-module: %s: the host takes no input report; dropped\n",
                   gadget_.c_str());
      return;
    }
    throw UsbGadgetError(ErrnoText("writing the HID function of " + gadget_));
  }
}

void UsbGadgetDevice::TearDown() noexcept {
  hidg_.reset();
  if (plugged_) {
    const int fd = ::open((gadget_ + "/UDC").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      static_cast<void>(::write(fd, "\n", 1));
      ::close(fd);
    }
  }
  // configfs takes the link and the directories apart in the reverse order of their making.
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    if (::unlink(it->c_str()) != 0) ::rmdir(it->c_str());
  }
  made_.clear();
  plugged_ = false;
}

}  // namespace ksv::tool
