// A diagnosis as KSVHidDiagnose hands it out: the C view of the reports, and the storage that the
// view's pointers point into, owned together.
#pragma once

#include <memory>
#include <vector>

#include "KSVHidDiagnose.h"
#include "core/module_mode.h"
#include "diagnose/interface_diagnosis.h"

namespace ksv {

struct Diagnosis {
  KSVHidDiagnosis view{};
  std::vector<InterfaceReport> reports;
  std::vector<KSVHidInterfaceReport> rows;  // view.interfaces
};

// The diagnosis of `reports`, made under `mode`, with the mode's identities and the walk's bounds.
std::unique_ptr<Diagnosis> MakeDiagnosis(ModuleMode mode, std::vector<InterfaceReport> reports);

}  // namespace ksv
