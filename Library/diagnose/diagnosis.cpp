#include "diagnose/diagnosis.h"

#include <cstring>
#include <utility>

#include "discovery/interface_walk.h"
#include "discovery/serial.h"

namespace ksv {
namespace {

// The C reasons are the internal ones, in the same order.
static_assert(static_cast<int>(UnlistedReason::kNone) == KSVHID_REASON_NONE);
static_assert(static_cast<int>(UnlistedReason::kSerialUnreadable) ==
              KSVHID_REASON_SERIAL_UNREADABLE);
static_assert(static_cast<int>(UnlistedReason::kOtherIds) == KSVHID_REASON_OTHER_IDS);
static_assert(static_cast<int>(UnlistedReason::kIdsUnreadable) == KSVHID_REASON_IDS_UNREADABLE);
static_assert(static_cast<int>(UnlistedReason::kAccessDenied) == KSVHID_REASON_ACCESS_DENIED);
static_assert(static_cast<int>(UnlistedReason::kInUse) == KSVHID_REASON_IN_USE);
static_assert(static_cast<int>(UnlistedReason::kOpenRefused) == KSVHID_REASON_OPEN_REFUSED);
static_assert(static_cast<int>(UnlistedReason::kBusyMoment) == KSVHID_REASON_BUSY_MOMENT);
static_assert(static_cast<int>(UnlistedReason::kPathUnreadable) == KSVHID_REASON_PATH_UNREADABLE);
static_assert(static_cast<int>(UnlistedReason::kPathTooLong) == KSVHID_REASON_PATH_TOO_LONG);
static_assert(static_cast<int>(UnlistedReason::kPastBound) == KSVHID_REASON_PAST_BOUND);
static_assert(sizeof(KSVHidInterfaceReport{}.serial) == kSerialTextBytes, "serial text sizes");

KSVHidInterfaceReport RowOf(const InterfaceReport& report) {
  KSVHidInterfaceReport row{};
  row.index = report.index;
  row.path = report.path.c_str();
  row.ids_known = report.ids ? 1 : 0;
  if (report.ids) {
    row.vendor_id = report.ids->vendor;
    row.product_id = report.ids->product;
  }
  row.serial_known = report.serial ? 1 : 0;
  if (report.serial) {
    // Narrowed text: never longer than the buffer takes, and without a zero byte inside.
    std::strncpy(row.serial, report.serial->c_str(), sizeof row.serial - 1);
  }
  row.module = report.module ? 1 : 0;
  row.reason = static_cast<int>(report.reason);
  row.open_error = report.open_error;
  row.holder_pid = report.holder ? static_cast<int>(report.holder->pid) : 0;
  row.holder_command = report.holder ? report.holder->command.c_str() : "";
  return row;
}

}  // namespace

std::unique_ptr<Diagnosis> MakeDiagnosis(ModuleMode mode, std::vector<InterfaceReport> reports) {
  auto diagnosis = std::make_unique<Diagnosis>();
  diagnosis->reports = std::move(reports);
  KSVHidDiagnosis& view = diagnosis->view;
  view.mode = mode;
  const ModeIdentities wanted = IdentitiesFor(mode);
  view.wanted_count = static_cast<unsigned int>(wanted.count);
  view.wanted_vendor[0] = wanted.first.vendor;
  view.wanted_product[0] = wanted.first.product;
  view.wanted_vendor[1] = wanted.second.vendor;
  view.wanted_product[1] = wanted.second.product;
  view.index_bound = kInterfaceIndexBound;
  view.path_units_limit = static_cast<unsigned int>(kDevicePathUnits);
  diagnosis->rows.reserve(diagnosis->reports.size());
  for (const InterfaceReport& report : diagnosis->reports) {
    diagnosis->rows.push_back(RowOf(report));
    view.module_count += report.module ? 1 : 0;
  }
  view.interface_count = static_cast<unsigned int>(diagnosis->rows.size());
  view.interfaces = diagnosis->rows.data();
  return diagnosis;
}

}  // namespace ksv
