// The exports of KSVHidDiagnose: the diagnosis of the interfaces the library's platform lists,
// handed out as one block of C structures that the caller gives back.
//
// The walk examines candidates under the process-wide mode of this library's logic, so a call
// selects the caller's mode and walks while holding the one lock of these exports: two calls with
// different modes never mix them. The diagnoses handed out are kept in a table, so that a pointer
// this library did not give (or gave and took back) is refused rather than freed.
#include "KSVHidDiagnose.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/module_mode.h"
#include "diagnose/diagnosis.h"
#include "diagnose/interface_diagnosis.h"

#if defined(__GNUC__) && !defined(_WIN32)
#define KSVHID_DIAGNOSE_EXPORT __attribute__((visibility("default")))
#else
#define KSVHID_DIAGNOSE_EXPORT  // Windows exports come from the module-definition file
#endif

namespace ksv {
namespace {

class DiagnosisTable {
 public:
  // One diagnosis at a time: the mode is selected for the walk that follows.
  std::mutex& walking() { return walking_; }

  KSVHidDiagnosis* Add(std::unique_ptr<Diagnosis> diagnosis) {
    const std::lock_guard<std::mutex> lock(mutex_);
    KSVHidDiagnosis* view = &diagnosis->view;
    held_[view] = std::move(diagnosis);
    return view;
  }
  bool Remove(const KSVHidDiagnosis* view) {
    std::unique_ptr<Diagnosis> released;
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(view);
    if (it == held_.end()) {
      return false;
    }
    released = std::move(it->second);
    held_.erase(it);
    return true;
  }

 private:
  std::mutex walking_;
  std::mutex mutex_;
  std::map<const KSVHidDiagnosis*, std::unique_ptr<Diagnosis>> held_;
};

DiagnosisTable& Table() {
  static DiagnosisTable table;
  return table;
}

std::unique_ptr<Diagnosis> Diagnose(ModuleMode mode) {
  std::optional<std::vector<InterfaceReport>> reports;
  {
    const std::lock_guard<std::mutex> lock(Table().walking());
    SetModuleMode(mode);
    reports = DiagnoseInterfaces(NativePlatform(), HolderCommand);
  }
  return reports ? MakeDiagnosis(mode, std::move(*reports)) : nullptr;
}

}  // namespace
}  // namespace ksv

extern "C" {

KSVHID_DIAGNOSE_EXPORT int KSVHID_DIAGNOSE_CALL KSVHidDiagnose(int mode,
                                                               KSVHidDiagnosis** diagnosis) {
  if (mode < ksv::kDefaultMode || mode > ksv::kSecondaryVendorMode) {
    return KSVHID_DIAGNOSE_BAD_MODE;
  }
  try {
    std::unique_ptr<ksv::Diagnosis> made = ksv::Diagnose(mode);
    if (made == nullptr) {
      return KSVHID_DIAGNOSE_FAILED;
    }
    *diagnosis = ksv::Table().Add(std::move(made));
    return 1;
  } catch (...) {
    return KSVHID_DIAGNOSE_FAILED;
  }
}

KSVHID_DIAGNOSE_EXPORT int KSVHID_DIAGNOSE_CALL KSVHidDiagnosisFree(KSVHidDiagnosis* diagnosis) {
  try {
    return diagnosis != nullptr && ksv::Table().Remove(diagnosis) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
