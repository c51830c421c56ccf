// Shared frame of the Windows test programs: load KSVHidApi.dll as an application does, resolve
// its seven exports by name, and count checks.
#pragma once

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "checks.h"
#include "export_table.h"

namespace ksv::test {

// The table of exports, with the loaded DLL that fills it.
struct LoadedDll : ksv::tool::ExportTable {
  HMODULE module = nullptr;
  std::optional<ksv::tool::LoadedLibrary> library;
};

// Loads the DLL beside the program and resolves all seven names; false if any is missing.
inline bool LoadDll(LoadedDll& api) {
  std::string error;
  api.library = ksv::tool::LoadedLibrary::Load("KSVHidApi.dll", error);
  if (!api.library) {
    std::printf("FAILED: %s\n", error.c_str());
    ++ksv::test::g_failures;
    return false;
  }
  static_cast<ksv::tool::ExportTable&>(api) = api.library->exports();
  api.module = static_cast<HMODULE>(api.library->native());
  return true;
}

inline const HANDLE kAllOnes = INVALID_HANDLE_VALUE;

}  // namespace ksv::test
