#include "simulated_modules.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

#include "core/module_mode.h"
#include "discovery/walk.h"
#include "exchange/exchange.h"
#include "module_api.h"

namespace ksvhid {
namespace {

using ksv::DeviceHandle;

constexpr ksv::DeviceIdentity kKeyboard{0x1209, 0x0001};
constexpr ksv::DeviceIdentity kPrimary{ksv::kVendorPrimary, ksv::kProductStandard};
constexpr ksv::DeviceIdentity kSecondary{ksv::kVendorSecondary, ksv::kProductStandard};
constexpr ksv::DeviceIdentity kLenient{ksv::kVendorPrimary, ksv::kProductLenient};

// A transfer's bookkeeping, kept in its record's storage as the platform interface provides.
struct Transfer {
  std::uint8_t* buffer;  // a read's destination
  std::uint32_t size;
  std::uint32_t count;  // bytes moved, once finished
  std::int32_t device;
  bool is_read;
  bool finished;
};
static_assert(std::is_trivially_copyable_v<Transfer>, "kept as bytes");
static_assert(sizeof(Transfer) <= sizeof(ksv::TransferRecord::storage), "fits the record");

Transfer Load(const ksv::TransferRecord& record) {
  Transfer t{};
  std::memcpy(&t, record.storage.data(), sizeof t);
  return t;
}

void Store(ksv::TransferRecord& record, const Transfer& t) {
  std::memcpy(record.storage.data(), &t, sizeof t);
}

void Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Any non-null value serves as the one list, and as every event: nothing behind them is released.
ksv::InterfaceListToken TheList() { return reinterpret_cast<ksv::InterfaceListToken>(0x5100); }
ksv::EventToken AnEvent() { return reinterpret_cast<ksv::EventToken>(0x5200); }

}  // namespace

const std::vector<SimulatedDevice>& BuiltInDevices() {
  static const std::vector<SimulatedDevice> devices{
      {"sim:keyboard", kKeyboard, u"KBD-1", true, Answer::kEcho, 1, 64, 0, "not a module"},
      {"sim:echo-plus-one", kPrimary, u"KSV-SIM-0001", true, Answer::kEchoPlusOne, 1, 64, 1,
       "report ID 1: every command byte plus one"},
      {"sim:echo-id2", kSecondary, u"KSV-SIM-0002", true, Answer::kEcho, 2, 64, 2,
       "report ID 2: the command as sent"},
      {"sim:silent", kPrimary, u"KSV-SIM-0003", true, Answer::kSilent, 1, 64, 0,
       "never answers: times out after 2000 ms"},
      {"sim:short-reply", kPrimary, u"KSV-\u00b5-0004", true, Answer::kEcho, 1, 32, 1,
       "report ID 1, only 32 bytes: wrong reply length outside mode 1"},
      {"sim:lenient", kLenient, u"KSV-SIM-L001", true, Answer::kEcho, 3, 24, 1,
       "report ID 3, 24 bytes: seen in mode 1 only"},
      {"sim:no-serial", kLenient, u"", false, Answer::kEcho, 1, 64, 1,
       "its serial number cannot be read: listed, cannot be opened (mode 1)"},
  };
  return devices;
}

SimulatedPlatform::SimulatedPlatform(std::vector<SimulatedDevice> devices)
    : devices_(std::move(devices)), open_(devices_.size(), false), written_(devices_.size()) {}

int SimulatedPlatform::DeviceOf(DeviceHandle h) const {
  const auto value = reinterpret_cast<std::uintptr_t>(h);
  if (value == 0 || value > devices_.size() || !open_[value - 1]) {
    return -1;
  }
  return static_cast<int>(value - 1);
}

// --- Interface lists --------------------------------------------------------------------------

ksv::HidClass SimulatedPlatform::GetHidClass() { return {}; }

ksv::InterfaceListToken SimulatedPlatform::OpenInterfaceList(const ksv::HidClass&) {
  return TheList();
}

ksv::InterfaceLookup SimulatedPlatform::GetInterfaceAt(ksv::InterfaceListToken list,
                                                       const ksv::HidClass&, std::uint32_t index,
                                                       ksv::InterfaceRecord& out) {
  if (list != TheList()) {
    return ksv::InterfaceLookup::kFailed;
  }
  if (index >= devices_.size()) {
    return ksv::InterfaceLookup::kEnd;
  }
  std::memcpy(out.bytes.data(), &index, sizeof index);
  return ksv::InterfaceLookup::kFound;
}

ksv::PathBlock SimulatedPlatform::GetInterfacePath(ksv::InterfaceListToken list,
                                                   const ksv::InterfaceRecord& record) {
  std::uint32_t index = 0;
  std::memcpy(&index, record.bytes.data(), sizeof index);
  if (list != TheList() || index >= devices_.size()) {
    return {};
  }
  SimulatedDevice& device = devices_[index];
  return {&device, device.path.c_str()};
}

void SimulatedPlatform::ReleasePathBlock(ksv::PathBlock) {}

void SimulatedPlatform::CloseInterfaceList(ksv::InterfaceListToken) {}

// --- Devices ----------------------------------------------------------------------------------

DeviceHandle SimulatedPlatform::OpenDevicePath(const char* path) {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].path == path) {
      if (open_[i]) {
        break;  // opened exclusively: no second open
      }
      open_[i] = true;
      return reinterpret_cast<DeviceHandle>(i + 1);
    }
  }
  return ksv::InvalidDeviceHandle();
}

std::uint32_t SimulatedPlatform::OpenRefusal(const char* path) {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].path == path) {
      return open_[i] ? ksv::kErrorSharingViolation : 0;
    }
  }
  return ksv::kErrorFileNotFound;
}

std::optional<ksv::DeviceIdentity> SimulatedPlatform::GetDeviceIds(DeviceHandle h) {
  const int device = DeviceOf(h);
  if (device < 0) {
    return std::nullopt;
  }
  return devices_[static_cast<std::size_t>(device)].ids;
}

bool SimulatedPlatform::GetSerialUnits(DeviceHandle h, ksv::SerialUnits& units) {
  const int device = DeviceOf(h);
  if (device < 0) {
    return false;
  }
  const SimulatedDevice& entry = devices_[static_cast<std::size_t>(device)];
  if (!entry.serial_readable) {
    return false;
  }
  const std::u16string& serial = entry.serial;
  units.fill(0);
  std::copy_n(serial.begin(), std::min(serial.size(), units.size()), units.begin());
  return true;
}

bool SimulatedPlatform::Close(DeviceHandle h) {
  const int device = DeviceOf(h);
  if (device < 0) {
    return false;  // not open: nothing to close
  }
  open_[static_cast<std::size_t>(device)] = false;
  return true;
}

// --- Transfers --------------------------------------------------------------------------------

ksv::EventToken SimulatedPlatform::CreateCompletionEvent() { return AnEvent(); }

void SimulatedPlatform::CloseEvent(ksv::EventToken) {}

// A reply is made only when a read waits for it, so nothing is ever queued.
std::uint32_t SimulatedPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t*, std::uint32_t,
                                                    ksv::TransferRecord&) {
  return DeviceOf(h) < 0 ? ksv::kErrorInvalidHandle : 0;
}

ksv::StartOutcome SimulatedPlatform::StartWrite(DeviceHandle h, const std::uint8_t* bytes,
                                                std::uint32_t n, ksv::TransferRecord& record) {
  const int device = DeviceOf(h);
  if (device < 0) {
    return {false, ksv::kErrorInvalidHandle, 0};
  }
  written_[static_cast<std::size_t>(device)].assign(bytes, bytes + n);
  Store(record, {nullptr, n, n, device, false, true});
  return {true, 0, n};
}

ksv::StartOutcome SimulatedPlatform::StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                               ksv::TransferRecord& record) {
  const int device = DeviceOf(h);
  if (device < 0) {
    return {false, ksv::kErrorInvalidHandle, 0};
  }
  Store(record, {bytes, n, 0, device, true, false});
  return {false, ksv::kIoPending, 0};
}

std::uint32_t SimulatedPlatform::WaitCompletion(DeviceHandle, ksv::TransferRecord& record,
                                                std::uint32_t limit_ms) {
  Transfer t = Load(record);
  if (record.event == nullptr) {
    return ksv::kWaitFailed;
  }
  if (t.finished) {
    return ksv::kWaitSignalled;
  }
  const SimulatedDevice& device = devices_[static_cast<std::size_t>(t.device)];
  if (device.answer == Answer::kSilent || device.latency_ms > limit_ms) {
    Sleep(limit_ms);
    return ksv::kWaitTimedOut;
  }
  Sleep(device.latency_ms);

  // The reply: the last output report, transformed, under the device's report ID.
  std::vector<std::uint8_t> reply = written_[static_cast<std::size_t>(t.device)];
  reply.resize(std::max<std::size_t>(reply.size(), 1));
  reply[0] = device.report_id;
  if (device.answer == Answer::kEchoPlusOne) {
    std::for_each(reply.begin() + 1, reply.end(),
                  [](std::uint8_t& b) { b = static_cast<std::uint8_t>(b + 1); });
  }
  t.count = static_cast<std::uint32_t>(
      std::min<std::size_t>({reply.size(), t.size, std::size_t{device.reply_bytes}}));
  std::copy_n(reply.begin(), t.count, t.buffer);
  t.finished = true;
  Store(record, t);
  return ksv::kWaitSignalled;
}

void SimulatedPlatform::CancelPending(DeviceHandle) {}

std::uint32_t SimulatedPlatform::GetCompletedCount(DeviceHandle, ksv::TransferRecord& record) {
  const Transfer t = Load(record);
  return t.finished ? t.count : 0;
}

void SimulatedPlatform::AwaitCancelled(DeviceHandle, ksv::TransferRecord& record) {
  Transfer t = Load(record);
  t.finished = true;
  t.count = 0;
  Store(record, t);
}

// --- The table --------------------------------------------------------------------------------

SimulatedPlatform& BuiltInPlatform() {
  static SimulatedPlatform platform(BuiltInDevices());
  return platform;
}

namespace {

SimulatedPlatform& Modules() { return BuiltInPlatform(); }

int KSVHID_CALL Count() { return ksv::CountModules(Modules()); }
int KSVHID_CALL Name(int ordinal, char* serial) {
  return ksv::NameModule(Modules(), ordinal, serial);
}
int KSVHID_CALL Open(KSVHidHandle* handle, const char* serial) {
  return ksv::OpenModuleBySerial(Modules(), handle, serial);
}
int KSVHID_CALL SendReceive(KSVHidHandle handle, const char* command, char* reply) {
  return ksv::SendReceive(Modules(), handle, command, reply);
}
int KSVHID_CALL Close(KSVHidHandle handle) { return ksv::CloseModule(Modules(), handle); }
int KSVHID_CALL Version(int* major, int* minor, int* build) {
  return GetKestrovanHIDversion(major, minor, build);
}
int KSVHID_CALL SetMode(int mode) { return ksv::SetModuleMode(mode); }
std::string Location() { return "built into ksvhid, over simulated modules"; }

}  // namespace

const ModuleApi& SimulatedApi() {
  static const ModuleApi api{Count, Name, Open, SendReceive, Close, Version, SetMode, Location};
  return api;
}

}  // namespace ksvhid
