#include "uhid_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "descriptors.h"

namespace ksv::tool {
namespace {

constexpr std::uint16_t kBusUsb = 0x03;

std::unique_ptr<uhid_event> ZeroedEvent(std::uint32_t type) {
  auto event = std::make_unique<uhid_event>();
  std::memset(event.get(), 0, sizeof(uhid_event));
  event->type = type;
  return event;
}

// Path of the hidraw node whose HID device has HID_PHYS=`phys`, or "".
std::string FindHidraw(const std::string& phys) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string wanted = "HID_PHYS=" + phys;
  for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", ec)) {
    std::ifstream uevent(entry.path() / "device" / "uevent");
    std::string line;
    while (std::getline(uevent, line)) {
      if (line == wanted) return "/dev/" + entry.path().filename().string();
    }
  }
  return {};
}

}  // namespace

UhidDevice::UhidDevice(const DeviceDescription& description, std::string phys)
    : description_(description), phys_(std::move(phys)) {
  Plug();
}

void UhidDevice::Plug() {
  const DeviceDescription& description = description_;
  fd_.reset(::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!fd_) throw UhidError(ErrnoText("cannot open /dev/uhid"));

  auto event = ZeroedEvent(UHID_CREATE2);
  uhid_create2_req& req = event->u.create2;
  const auto copy_string = [](auto& field, const std::string& value) {
    const std::size_t n = std::min(value.size(), sizeof(field) - 1);
    std::memcpy(field, value.data(), n);
  };
  copy_string(req.name, description.name);
  copy_string(req.phys, phys_);
  copy_string(req.uniq, description.serial);
  const std::vector<std::uint8_t> descriptor =
      ReportDescriptor(description.kind, description.input_payload_size);
  std::copy(descriptor.begin(), descriptor.end(), req.rd_data);
  req.rd_size = static_cast<std::uint16_t>(descriptor.size());
  req.bus = kBusUsb;
  req.vendor = description.vendor;
  req.product = description.product;
  req.version = description.version;
  req.country = 0;
  Write(*event);
}

std::string UhidDevice::WaitForHidraw(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string path = FindHidraw(phys_);
    if (!path.empty() && ::access(path.c_str(), F_OK) == 0) return path;
    if (std::chrono::steady_clock::now() > deadline) {
      throw UhidError("no hidraw node appeared for " + phys_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool UhidDevice::ReadEvent(DeviceEvent& out) {
  uhid_event& event = *event_;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), &event, sizeof(event));
    if (n == 0) return false;
    if (n > 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return false;
    throw UhidError(ErrnoText("reading /dev/uhid"));
  }
  out.output = event.type == UHID_OUTPUT;
  out.name = EventName(event.type);
  out.data.clear();
  if (out.output) {
    const auto& report = event.u.output;
    const std::size_t size = std::min<std::size_t>(report.size, sizeof(report.data));
    out.data.assign(report.data, report.data + size);
  } else if (event.type == UHID_GET_REPORT) {
    RefuseGetReport(event.u.get_report.id);
  } else if (event.type == UHID_SET_REPORT) {
    RefuseSetReport(event.u.set_report.id);
  }
  return true;
}

void UhidDevice::SendInput(const std::vector<std::uint8_t>& data) {
  auto event = ZeroedEvent(UHID_INPUT2);
  if (data.size() > sizeof(event->u.input2.data)) throw UhidError("input report too large");
  event->u.input2.size = static_cast<std::uint16_t>(data.size());
  std::copy(data.begin(), data.end(), event->u.input2.data);
  Write(*event);
}

void UhidDevice::RefuseGetReport(std::uint32_t request_id) const {
  auto event = ZeroedEvent(UHID_GET_REPORT_REPLY);
  event->u.get_report_reply.id = request_id;
  event->u.get_report_reply.err = EIO;
  Write(*event);
}

void UhidDevice::RefuseSetReport(std::uint32_t request_id) const {
  auto event = ZeroedEvent(UHID_SET_REPORT_REPLY);
  event->u.set_report_reply.id = request_id;
  event->u.set_report_reply.err = EIO;
  Write(*event);
}

void UhidDevice::Write(const uhid_event& event) const {
  for (;;) {
    const ssize_t n = ::write(fd_.get(), &event, sizeof(event));
    if (n == static_cast<ssize_t>(sizeof(event))) return;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw UhidError(ErrnoText("writing /dev/uhid"));
    throw UhidError("short write to /dev/uhid");
  }
}

const char* EventName(std::uint32_t type) {
  switch (type) {
    case UHID_START:
      return "start";
    case UHID_STOP:
      return "stop";
    case UHID_OPEN:
      return "open";
    case UHID_CLOSE:
      return "close";
    case UHID_OUTPUT:
      return "output";
    case UHID_GET_REPORT:
      return "get-report";
    case UHID_SET_REPORT:
      return "set-report";
    default:
      return "unknown";
  }
}

}  // namespace ksv::tool
