// Shared frame of the Windows test programs: load KSVHidApi.dll as an application does, resolve
// its seven exports by name, and count checks.
#pragma once

#include <windows.h>

#include <cstdio>

#include "checks.h"

namespace ksvtest {

using NumberFn = int(__stdcall*)();
using NameFn = int(__stdcall*)(int, char*);
using OpenFn = int(__stdcall*)(HANDLE*, const char*);
using SendReceiveFn = int(__stdcall*)(HANDLE, const char*, char*);
using CloseFn = int(__stdcall*)(HANDLE);
using VersionFn = int(__stdcall*)(int*, int*, int*);
using ModeFn = int(__stdcall*)(int);

struct Api {
  HMODULE module = nullptr;
  NumberFn GetKestrovanHIDnumber = nullptr;
  NameFn GetKestrovanHIDName = nullptr;
  OpenFn OpenKestrovanHID = nullptr;
  SendReceiveFn SendReceiveKestrovanHID = nullptr;
  CloseFn CloseKestrovanHID = nullptr;
  VersionFn GetKestrovanHIDversion = nullptr;
  ModeFn SetModuleMode = nullptr;
};

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& out) {
  // GetProcAddress gives a generic function pointer; it is converted to the export's own type.
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (out == nullptr) {
    std::printf("FAILED: export %s not found\n", name);
    ++ksv::test::g_failures;
    return false;
  }
  return true;
}

// Loads the DLL beside the program and resolves all seven names; false if any is missing.
inline bool LoadApi(Api& api) {
  api.module = LoadLibraryA("KSVHidApi.dll");
  if (api.module == nullptr) {
    std::printf("FAILED: LoadLibraryA(KSVHidApi.dll): error %lu\n", GetLastError());
    ++ksv::test::g_failures;
    return false;
  }
  bool ok = Resolve(api.module, "GetKestrovanHIDnumber", api.GetKestrovanHIDnumber);
  ok = Resolve(api.module, "GetKestrovanHIDName", api.GetKestrovanHIDName) && ok;
  ok = Resolve(api.module, "OpenKestrovanHID", api.OpenKestrovanHID) && ok;
  ok = Resolve(api.module, "SendReceiveKestrovanHID", api.SendReceiveKestrovanHID) && ok;
  ok = Resolve(api.module, "CloseKestrovanHID", api.CloseKestrovanHID) && ok;
  ok = Resolve(api.module, "GetKestrovanHIDversion", api.GetKestrovanHIDversion) && ok;
  ok = Resolve(api.module, "SetModuleMode", api.SetModuleMode) && ok;
  return ok;
}

using ksv::test::Finish;

inline const HANDLE kAllOnes = INVALID_HANDLE_VALUE;

}  // namespace ksvtest
