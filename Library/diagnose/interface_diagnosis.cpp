#include "diagnose/interface_diagnosis.h"

#include <utility>

#include "discovery/candidate.h"
#include "discovery/interface_walk.h"
#include "discovery/serial.h"
#include "discovery/visit.h"

namespace ksv {
namespace {

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
    report.reason = UnlistedReason::kPastBound;
    return;
  }
  switch (candidate.verdict) {
    case Verdict::kModule:
      report.module = true;
      report.reason = report.serial ? UnlistedReason::kNone : UnlistedReason::kSerialUnreadable;
      return;
    case Verdict::kOtherIds:
      report.reason = UnlistedReason::kOtherIds;
      return;
    case Verdict::kIdsUnreadable:
      report.reason = UnlistedReason::kIdsUnreadable;
      return;
    case Verdict::kAccessDenied:
      report.reason = UnlistedReason::kAccessDenied;
      report.open_error = kErrorAccessDenied;
      return;
    case Verdict::kHeld:
      report.reason = UnlistedReason::kInUse;
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
      report.reason = UnlistedReason::kBusyMoment;
      break;
    case kErrorAccessDenied:
      report.reason = UnlistedReason::kAccessDenied;
      break;
    case kErrorSharingViolation:
      report.reason = UnlistedReason::kInUse;
      break;
    default:
      report.reason = UnlistedReason::kOpenRefused;
      break;
  }
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
            report.reason = UnlistedReason::kPathUnreadable;
            break;
          case PathSkip::kTooLong:
            report.reason = UnlistedReason::kPathTooLong;
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

}  // namespace ksv
