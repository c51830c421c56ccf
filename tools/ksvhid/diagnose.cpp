#include "diagnose.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "text.h"

namespace ksv::tool {
namespace {

// vendor:product as lower-case hex, "17fe:82cd".
std::string IdText(unsigned vendor, unsigned product) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
  return text;
}

std::string IdsOf(const KSVHidInterfaceReport& report) {
  return IdText(report.vendor_id, report.product_id);
}

std::string ModeIdsText(const KSVHidDiagnosis& diagnosis) {
  std::string text;
  for (unsigned i = 0; i < diagnosis.wanted_count && i < 2; ++i) {
    text +=
        (i == 0 ? "" : " or ") + IdText(diagnosis.wanted_vendor[i], diagnosis.wanted_product[i]);
  }
  return text;
}

std::string SerialShown(const KSVHidInterfaceReport& report) {
  if (report.serial_known) {
    return EscapeSerial(report.serial);
  }
  return report.ids_known ? "(serial number unreadable)" : "-";
}

}  // namespace

const char* ReasonKey(int reason) {
  switch (reason) {
    case KSVHID_REASON_NONE:
      return "none";
    case KSVHID_REASON_SERIAL_UNREADABLE:
      return "serial_unreadable";
    case KSVHID_REASON_OTHER_IDS:
      return "other_ids";
    case KSVHID_REASON_IDS_UNREADABLE:
      return "ids_unreadable";
    case KSVHID_REASON_ACCESS_DENIED:
      return "access_denied";
    case KSVHID_REASON_IN_USE:
      return "in_use";
    case KSVHID_REASON_OPEN_REFUSED:
      return "open_refused";
    case KSVHID_REASON_BUSY_MOMENT:
      return "busy_a_moment_ago";
    case KSVHID_REASON_PATH_UNREADABLE:
      return "path_unreadable";
    case KSVHID_REASON_PATH_TOO_LONG:
      return "path_too_long";
    case KSVHID_REASON_PAST_BOUND:
      return "past_interface_64";
    default:
      return "unknown";
  }
}

const char* AccessDeniedAdvice() {
#ifdef _WIN32
  return "";  // access to HID devices is not granted per user
#else
  return "install the udev rule 70-ksvhid.rules and reload udev, see the README";
#endif
}

std::string DescribeReason(const KSVHidDiagnosis& diagnosis, const KSVHidInterfaceReport& report) {
  switch (report.reason) {
    case KSVHID_REASON_NONE:
      return "";
    case KSVHID_REASON_SERIAL_UNREADABLE:
      return "serial number unreadable: counted, but it can be neither named nor opened";
    case KSVHID_REASON_OTHER_IDS:
      return "other IDs: mode " + std::to_string(diagnosis.mode) + " takes " +
             ModeIdsText(diagnosis);
    case KSVHID_REASON_IDS_UNREADABLE:
      return "its vendor and product IDs cannot be read";
    case KSVHID_REASON_ACCESS_DENIED: {
      std::string text = "access denied: this user may not open it";
      if (const std::string advice = AccessDeniedAdvice(); !advice.empty()) {
        text += " (" + advice + ")";
      }
      return text;
    }
    case KSVHID_REASON_IN_USE: {
      std::string text = "in use by another program";
      if (report.holder_pid > 0) {
        text += ": PID " + std::to_string(report.holder_pid);
        if (report.holder_command != nullptr && *report.holder_command != '\0') {
          text += " (" + EscapeSerial(report.holder_command) + ")";
        }
      }
      return text;
    }
    case KSVHID_REASON_OPEN_REFUSED:
      return "cannot be opened (system error " + std::to_string(report.open_error) + ")";
    case KSVHID_REASON_BUSY_MOMENT:
      return "refused while the walk looked, opens now: look again";
    case KSVHID_REASON_PATH_UNREADABLE:
      return "its entry or device path cannot be read: the walk passes it over";
    case KSVHID_REASON_PATH_TOO_LONG:
      return "its device path is longer than " + std::to_string(diagnosis.path_units_limit) +
             " UTF-16 units: the walk passes it over";
    case KSVHID_REASON_PAST_BOUND:
      return "past the " + std::to_string(diagnosis.index_bound) +
             "th HID interface: the walk never looks at it";
    default:
      return "";
  }
}

std::string FormatDiagnosis(const KSVHidDiagnosis& diagnosis, bool json) {
  const unsigned count = diagnosis.interface_count;
  const unsigned modules = diagnosis.module_count;
  std::ostringstream out;
  if (json) {
    out << "{\"mode\":" << diagnosis.mode << ",\"interfaces\":" << count
        << ",\"modules\":" << modules << ",\"bound\":" << diagnosis.index_bound << ",\"report\":[";
    for (unsigned i = 0; i < count; ++i) {
      const KSVHidInterfaceReport& report = diagnosis.interfaces[i];
      out << (i == 0 ? "" : ",") << "{\"index\":" << report.index
          << ",\"path\":" << JsonText(ShowUtf8(report.path)) << ",\"ids\":";
      if (report.ids_known) {
        out << '"' << IdsOf(report) << '"';
      } else {
        out << "null";
      }
      out << ",\"module\":" << (report.module ? "true" : "false") << ",\"serial\":";
      if (report.serial_known) {
        const std::string serial = report.serial;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(serial.data());
        out << JsonString(EscapeSerial(serial)) << ",\"serial_hex\":\""
            << HexString(bytes, serial.size()) << '"';
      } else {
        out << "null,\"serial_hex\":null";
      }
      out << ",\"reason\":";
      if (report.reason == KSVHID_REASON_NONE) {
        out << "null";
      } else {
        out << '"' << ReasonKey(report.reason) << '"';
      }
      out << ",\"detail\":" << JsonString(DescribeReason(diagnosis, report));
      if (report.open_error != 0) {
        out << ",\"error\":" << report.open_error;
      }
      if (report.holder_pid > 0) {
        out << ",\"holder\":{\"pid\":" << report.holder_pid
            << ",\"command\":" << JsonString(EscapeSerial(report.holder_command)) << '}';
      }
      out << '}';
    }
    out << "]}\n";
    return out.str();
  }
  out << count << (count == 1 ? " HID interface, " : " HID interfaces, ") << modules
      << (modules == 1 ? " module" : " modules") << " (mode " << diagnosis.mode << ")\n";
  for (unsigned i = 0; i < count; ++i) {
    const KSVHidInterfaceReport& report = diagnosis.interfaces[i];
    out << "  " << report.index << "  " << ShowUtf8(report.path) << "  "
        << (report.ids_known ? IdsOf(report) : "????:????") << "  " << SerialShown(report)
        << "\n      " << (report.module ? "module" : "not a module");
    if (report.reason != KSVHID_REASON_NONE) {
      out << ": " << DescribeReason(diagnosis, report);
    }
    out << '\n';
  }
  return out.str();
}

int RunDiagnose(const ExportTable& api, const DiagnoseCalls& calls, int mode, bool json) {
  // The one mode of the process is the library's: selected there, as list selects it, and the
  // companion looks under that same mode.
  api.SetModuleMode(mode);
  KSVHidDiagnosis* made = nullptr;
  const int result = calls.diagnose(mode, &made);
  if (result != 1) {
    std::cerr << "ksvhid: cannot list the HID interfaces\n";
    return 1;
  }
  const std::unique_ptr<KSVHidDiagnosis, decltype(calls.release)> diagnosis(made, calls.release);
  std::cout << FormatDiagnosis(*diagnosis, json) << std::flush;
  return 0;
}

}  // namespace ksv::tool
