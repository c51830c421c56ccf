// The simulator's built-in set of devices, apart from the simulated platform, so that a tool can
// show it without taking the platform in.
#include <optional>
#include <string>
#include <vector>

#include "core/module_mode.h"
#include "simulator/simulated_hid_platform.h"

namespace ksv {

const std::vector<SimulatedDevice>& BuiltInSimulatedDevices() {
  static const std::vector<SimulatedDevice> devices = [] {
    constexpr DeviceIdentity kKeyboard{0x1209, 0x0001};
    constexpr DeviceIdentity kPrimary{kVendorPrimary, kProductStandard};
    constexpr DeviceIdentity kSecondary{kVendorSecondary, kProductStandard};
    constexpr DeviceIdentity kLenient{kVendorPrimary, kProductLenient};
    const auto device = [](const char* path, DeviceIdentity ids,
                           std::optional<std::u16string> serial, SimulatedReply reply,
                           std::uint8_t report_id, std::uint32_t length, std::uint32_t delay_ms,
                           const char* behaviour) {
      SimulatedDevice d;
      d.path = path;
      d.ids = ids;
      d.serial = std::move(serial);
      d.reply = reply;
      d.report_id = report_id;
      d.length = length;
      d.delay_ms = delay_ms;
      d.behaviour = behaviour;
      return d;
    };
    using R = SimulatedReply;
    return std::vector<SimulatedDevice>{
        device("sim:keyboard", kKeyboard, u"KBD-1", R::kEcho, 1, 64, 0, "not a module"),
        device("sim:echo-plus-one", kPrimary, u"KSV-SIM-0001", R::kPlusOne, 1, 64, 1,
               "report ID 1: every command byte plus one"),
        device("sim:echo-id2", kSecondary, u"KSV-SIM-0002", R::kEcho, 2, 64, 2,
               "report ID 2: the command as sent"),
        device("sim:silent", kPrimary, u"KSV-SIM-0003", R::kSilent, 1, 64, 0,
               "never answers: times out after 2000 ms"),
        device("sim:short-reply", kPrimary, u"KSV-\u00b5-0004", R::kEcho, 1, 32, 1,
               "report ID 1, only 32 bytes: wrong reply length outside mode 1"),
        device("sim:lenient", kLenient, u"KSV-SIM-L001", R::kEcho, 3, 24, 1,
               "report ID 3, 24 bytes: seen in mode 1 only"),
        device("sim:no-serial", kLenient, std::nullopt, R::kEcho, 1, 64, 1,
               "its serial number cannot be read: listed, cannot be opened (mode 1)"),
    };
  }();
  return devices;
}

}  // namespace ksv
