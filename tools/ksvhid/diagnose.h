// ksvhid diagnose: every HID interface in walk order, whether it is a module under the mode and,
// when it is not listed, why. The library's diagnose companion (KSVHidDiagnose) makes the
// diagnosis with the walk's own loop and examination; this code only puts it into words or JSON.
#pragma once

#include <string>

#include "KSVHidDiagnose.h"
#include "export_table.h"

namespace ksv::tool {

// The companion's calls: from the library ksvhid is linked against, or from the simulator's.
struct DiagnoseCalls {
  int(KSVHID_DIAGNOSE_CALL* diagnose)(int mode, KSVHidDiagnosis** diagnosis) = nullptr;
  int(KSVHID_DIAGNOSE_CALL* release)(KSVHidDiagnosis* diagnosis) = nullptr;
};

// A reason in words, for people ("other IDs: mode 0 takes 17fe:82cd or 10c4:82cd").
std::string DescribeReason(const KSVHidDiagnosis& diagnosis, const KSVHidInterfaceReport& report);
// A reason as a stable key, for scripts ("other_ids").
const char* ReasonKey(int reason);
// What a user can do when access is denied on this system; empty when there is no advice.
const char* AccessDeniedAdvice();

// The report for people, or one JSON object for scripts.
std::string FormatDiagnosis(const KSVHidDiagnosis& diagnosis, bool json);

// The command: selects `mode` in the library (`api`), as list does, has the companion look under
// that mode and prints; 0 when it could look, 1 when it could not list the interfaces at all.
int RunDiagnose(const ExportTable& api, const DiagnoseCalls& calls, int mode, bool json);

}  // namespace ksv::tool
