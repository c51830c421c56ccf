#include "diagnose.h"

#include <cstdio>
#include <iostream>
#include <sstream>

#include "core/module_mode.h"
#include "discovery/candidate.h"
#include "discovery/interface_walk.h"
#include "discovery/serial.h"
#include "text.h"

namespace ksv::tool {
namespace {

// vendor:product as lower-case hex, "17fe:82cd".
std::string IdText(DeviceIdentity ids) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", ids.vendor, ids.product);
  return text;
}

bool TakenByMode(ModuleMode mode, DeviceIdentity ids) {
  const ModeIdentities wanted = IdentitiesFor(mode);
  return ids == wanted.first || (wanted.count > 1 && ids == wanted.second);
}

// Reads the IDs and the serial number text of an open device into `report`.
void ReadDevice(HidPlatform& platform, DeviceHandle device, InterfaceReport& report) {
  report.ids = platform.GetDeviceIds(device);
  SerialText serial{};
  if (ReadSerialNarrow(platform, device, serial.data())) {
    report.serial = std::string(serial.data());
  }
}

// Why an interface that the walk does not take as a module is passed over.
void Explain(HidPlatform& platform, bool within_bound, HolderFinder find_holder,
             InterfaceReport& report) {
  const Device device(platform, platform.OpenDevicePath(report.path.c_str()));
  if (device) {
    ReadDevice(platform, device.get(), report);
    if (!within_bound) {
      report.reason = Reason::kPastBound;
    } else if (!report.ids) {
      report.reason = Reason::kIdsUnreadable;
    } else if (!TakenByMode(CurrentMode(), *report.ids)) {
      report.reason = Reason::kOtherIds;
    } else {
      report.reason = Reason::kBusyMoment;  // refused a moment ago, taken now
    }
    return;
  }
  if (!within_bound) {
    report.reason = Reason::kPastBound;
    return;
  }
  report.open_error = platform.OpenRefusal(report.path.c_str());
  switch (report.open_error) {
    case 0:
      report.reason = Reason::kBusyMoment;
      break;
    case kErrorAccessDenied:
      report.reason = Reason::kAccessDenied;
      break;
    case kErrorSharingViolation:
      report.reason = Reason::kInUse;
      report.holder = find_holder(report.path.c_str());
      break;
    default:
      report.reason = Reason::kOpenRefused;
      break;
  }
}

InterfaceReport Look(HidPlatform& platform, InterfaceListToken list, const InterfaceRecord& record,
                     std::uint32_t index, HolderFinder find_holder) {
  InterfaceReport report;
  report.index = index;
  const OwnedPathBlock block(platform, platform.GetInterfacePath(list, record));
  if (!block || block.get().text == nullptr) {
    report.reason = Reason::kPathUnreadable;
    return report;
  }
  report.path = block.get().text;
  if (!FittingPathLength(block.get().text)) {
    report.reason = Reason::kPathTooLong;
    return report;
  }
  const bool within_bound = index < kInterfaceIndexBound;
  if (within_bound) {
    // The walk's own decision, as it would take it now.
    const Device module = OpenCandidate(platform, report.path.c_str());
    if (module) {
      report.module = true;
      ReadDevice(platform, module.get(), report);
      report.reason = report.serial ? Reason::kNone : Reason::kSerialUnreadable;
      return report;
    }
  }
  Explain(platform, within_bound, find_holder, report);
  return report;
}

std::string ModeIdsText(ModuleMode mode) {
  const ModeIdentities wanted = IdentitiesFor(mode);
  std::string text = IdText(wanted.first);
  if (wanted.count > 1) {
    text += " or " + IdText(wanted.second);
  }
  return text;
}

std::string SerialShown(const InterfaceReport& report) {
  if (report.serial) {
    return ksv::tool::EscapeSerial(*report.serial);
  }
  return report.ids ? "(serial number unreadable)" : "-";
}

}  // namespace

std::optional<std::vector<InterfaceReport>> DiagnoseInterfaces(HidPlatform& platform,
                                                               HolderFinder find_holder) {
  // The walk's own list; read here to its end, past the bound the walk stops at.
  const HidInterfaces interfaces = ListHidInterfaces(platform);
  if (!interfaces.list) {
    return std::nullopt;
  }
  std::vector<InterfaceReport> reports;
  for (std::uint32_t index = 0;; ++index) {
    InterfaceRecord record;
    const InterfaceLookup lookup =
        platform.GetInterfaceAt(interfaces.list.get(), interfaces.hid_class, index, record);
    if (lookup == InterfaceLookup::kEnd) {
      break;
    }
    if (lookup == InterfaceLookup::kFailed) {
      InterfaceReport report;
      report.index = index;
      report.reason = Reason::kPathUnreadable;
      reports.push_back(report);
      continue;
    }
    reports.push_back(Look(platform, interfaces.list.get(), record, index, find_holder));
  }
  return reports;
}

const char* ReasonKey(Reason reason) {
  switch (reason) {
    case Reason::kNone:
      return "none";
    case Reason::kSerialUnreadable:
      return "serial_unreadable";
    case Reason::kOtherIds:
      return "other_ids";
    case Reason::kIdsUnreadable:
      return "ids_unreadable";
    case Reason::kAccessDenied:
      return "access_denied";
    case Reason::kInUse:
      return "in_use";
    case Reason::kOpenRefused:
      return "open_refused";
    case Reason::kBusyMoment:
      return "busy_a_moment_ago";
    case Reason::kPathUnreadable:
      return "path_unreadable";
    case Reason::kPathTooLong:
      return "path_too_long";
    case Reason::kPastBound:
      return "past_interface_64";
  }
  return "unknown";
}

std::string DescribeReason(const InterfaceReport& report) {
  switch (report.reason) {
    case Reason::kNone:
      return "";
    case Reason::kSerialUnreadable:
      return "serial number unreadable: counted, but it can be neither named nor opened";
    case Reason::kOtherIds:
      return "other IDs: mode " + std::to_string(CurrentMode()) + " takes " +
             ModeIdsText(CurrentMode());
    case Reason::kIdsUnreadable:
      return "its vendor and product IDs cannot be read";
    case Reason::kAccessDenied: {
      std::string text = "access denied: this user may not open it";
      if (const std::string advice = AccessDeniedAdvice(); !advice.empty()) {
        text += " (" + advice + ")";
      }
      return text;
    }
    case Reason::kInUse: {
      std::string text = "in use by another program";
      if (report.holder) {
        text += ": PID " + std::to_string(report.holder->pid);
        if (!report.holder->command.empty()) {
          text += " (" + ksv::tool::EscapeSerial(report.holder->command) + ")";
        }
      }
      return text;
    }
    case Reason::kOpenRefused:
      return "cannot be opened (system error " + std::to_string(report.open_error) + ")";
    case Reason::kBusyMoment:
      return "refused while the walk looked, opens now: look again";
    case Reason::kPathUnreadable:
      return "its entry or device path cannot be read: the walk passes it over";
    case Reason::kPathTooLong:
      return "its device path is longer than " + std::to_string(kDevicePathUnits) +
             " UTF-16 units: the walk passes it over";
    case Reason::kPastBound:
      return "past the 64th HID interface: the walk never looks at it";
  }
  return "";
}

std::string FormatDiagnosis(const std::vector<InterfaceReport>& reports, bool json) {
  const ModuleMode mode = CurrentMode();
  std::size_t modules = 0;
  for (const InterfaceReport& report : reports) {
    modules += report.module ? 1 : 0;
  }
  std::ostringstream out;
  if (json) {
    out << "{\"mode\":" << mode << ",\"interfaces\":" << reports.size()
        << ",\"modules\":" << modules << ",\"bound\":" << kInterfaceIndexBound << ",\"report\":[";
    for (const InterfaceReport& report : reports) {
      out << (report.index == 0 ? "" : ",") << "{\"index\":" << report.index
          << ",\"path\":" << ksv::tool::JsonText(ksv::tool::ShowUtf8(report.path)) << ",\"ids\":";
      if (report.ids) {
        out << '"' << IdText(*report.ids) << '"';
      } else {
        out << "null";
      }
      out << ",\"module\":" << (report.module ? "true" : "false") << ",\"serial\":";
      if (report.serial) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(report.serial->data());
        out << ksv::tool::JsonString(ksv::tool::EscapeSerial(*report.serial))
            << ",\"serial_hex\":\"" << ksv::tool::HexString(bytes, report.serial->size()) << '"';
      } else {
        out << "null,\"serial_hex\":null";
      }
      out << ",\"reason\":";
      if (report.reason == Reason::kNone) {
        out << "null";
      } else {
        out << '"' << ReasonKey(report.reason) << '"';
      }
      out << ",\"detail\":" << ksv::tool::JsonString(DescribeReason(report));
      if (report.open_error != 0) {
        out << ",\"error\":" << report.open_error;
      }
      if (report.holder) {
        out << ",\"holder\":{\"pid\":" << report.holder->pid << ",\"command\":"
            << ksv::tool::JsonString(ksv::tool::EscapeSerial(report.holder->command)) << '}';
      }
      out << '}';
    }
    out << "]}\n";
    return out.str();
  }
  out << reports.size() << (reports.size() == 1 ? " HID interface, " : " HID interfaces, ")
      << modules << (modules == 1 ? " module" : " modules") << " (mode " << mode << ")\n";
  for (const InterfaceReport& report : reports) {
    out << "  " << report.index << "  " << ksv::tool::ShowUtf8(report.path) << "  "
        << (report.ids ? IdText(*report.ids) : "????:????") << "  " << SerialShown(report)
        << "\n      " << (report.module ? "module" : "not a module");
    if (report.reason != Reason::kNone) {
      out << ": " << DescribeReason(report);
    }
    out << '\n';
  }
  return out.str();
}

int RunDiagnose(HidPlatform& platform, int mode, bool json) {
  SetModuleMode(mode);
  const std::optional<std::vector<InterfaceReport>> reports =
      DiagnoseInterfaces(platform, FindHolder);
  if (!reports) {
    std::cerr << "ksvhid: cannot list the HID interfaces\n";
    return 1;
  }
  std::cout << FormatDiagnosis(*reports, json) << std::flush;
  return 0;
}

}  // namespace ksv::tool
