#include "diagnose.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <utility>

#include "core/module_mode.h"
#include "discovery/candidate.h"
#include "discovery/interface_walk.h"
#include "discovery/serial.h"
#include "discovery/visit.h"
#include "text.h"

namespace ksv::tool {
namespace {

// vendor:product as lower-case hex, "17fe:82cd".
std::string IdText(DeviceIdentity ids) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", ids.vendor, ids.product);
  return text;
}

// Fills `report` from the examination of its candidate, as the walk would make it now.
void Explain(const InterfaceVisit& visit, CommandFinder command_of, InterfaceReport& report) {
  SerialUnits units{};
  const Candidate candidate = visit.Examine(SerialQuery::kAny, units);
  report.ids = candidate.ids;
  if (candidate.serial_read) {
    SerialText serial{};
    NarrowSerialUnits(units, serial.data());
    report.serial = std::string(serial.data());
  }
  if (!visit.within_bound) {
    report.reason = Reason::kPastBound;
    return;
  }
  switch (candidate.verdict) {
    case Verdict::kModule:
      report.module = true;
      report.reason = report.serial ? Reason::kNone : Reason::kSerialUnreadable;
      return;
    case Verdict::kOtherIds:
      report.reason = Reason::kOtherIds;
      return;
    case Verdict::kIdsUnreadable:
      report.reason = Reason::kIdsUnreadable;
      return;
    case Verdict::kAccessDenied:
      report.reason = Reason::kAccessDenied;
      report.open_error = kErrorAccessDenied;
      return;
    case Verdict::kHeld:
      report.reason = Reason::kInUse;
      report.open_error = kErrorSharingViolation;
      if (candidate.holder > 0) {
        report.holder = Holder{candidate.holder, command_of(candidate.holder)};
      }
      return;
    case Verdict::kOpenRefused:
      break;
  }
  // The system says why it refused the open, by opening it once more the same way.
  report.open_error = visit.platform.OpenRefusal(report.path.c_str());
  switch (report.open_error) {
    case 0:
      report.reason = Reason::kBusyMoment;
      break;
    case kErrorAccessDenied:
      report.reason = Reason::kAccessDenied;
      break;
    case kErrorSharingViolation:
      report.reason = Reason::kInUse;
      break;
    default:
      report.reason = Reason::kOpenRefused;
      break;
  }
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
                                                               CommandFinder command_of) {
  std::vector<InterfaceReport> reports;
  const bool listed =
      VisitInterfaces(platform, VisitScope::kWholeList, [&](const InterfaceVisit& visit) {
        InterfaceReport report;
        report.index = visit.index;
        report.path = visit.path != nullptr ? visit.path : "";
        switch (visit.skip) {
          case PathSkip::kUnreadable:
            report.reason = Reason::kPathUnreadable;
            break;
          case PathSkip::kTooLong:
            report.reason = Reason::kPathTooLong;
            break;
          case PathSkip::kNone:
            Explain(visit, command_of, report);
            break;
        }
        reports.push_back(std::move(report));
        return false;
      });
  if (!listed) {
    return std::nullopt;
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
      DiagnoseInterfaces(platform, CommandOf);
  if (!reports) {
    std::cerr << "ksvhid: cannot list the HID interfaces\n";
    return 1;
  }
  std::cout << FormatDiagnosis(*reports, json) << std::flush;
  return 0;
}

}  // namespace ksv::tool
