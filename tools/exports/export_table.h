// The seven exports as one table of function pointers, filled either from the library a program
// is linked against or from a library loaded by name or path at run time (as an application that
// loads KSVHidApi.dll or libKSVHidApi.so by name does). Used by ksvhid and by the test programs.
#pragma once

#include <optional>
#include <string>

#include "KSVHidApi.h"

namespace ksv::tool {

struct ExportTable {
  int(KSVHID_CALL* GetKestrovanHIDnumber)(void) = nullptr;
  int(KSVHID_CALL* GetKestrovanHIDName)(int ordinal, char* serial) = nullptr;
  int(KSVHID_CALL* OpenKestrovanHID)(KSVHidHandle* handle, const char* serial) = nullptr;
  int(KSVHID_CALL* SendReceiveKestrovanHID)(KSVHidHandle handle, const char* command,
                                            char* reply) = nullptr;
  int(KSVHID_CALL* CloseKestrovanHID)(KSVHidHandle handle) = nullptr;
  int(KSVHID_CALL* GetKestrovanHIDversion)(int* major, int* minor, int* build) = nullptr;
  int(KSVHID_CALL* SetModuleMode)(int mode) = nullptr;
};

// The exports of the library this program is linked against. Only a program that calls this
// needs to link the library.
inline ExportTable LinkedExports() {
  // Qualified: a program that also sees the library's internal declarations must still take the
  // exported functions, not same-named internal ones.
  return {::GetKestrovanHIDnumber, ::GetKestrovanHIDName,
          ::OpenKestrovanHID,      ::SendReceiveKestrovanHID,
          ::CloseKestrovanHID,     ::GetKestrovanHIDversion,
          ::SetModuleMode};
}

// The path of the file that holds the function at `address`; empty when it cannot be had.
std::string FileHolding(const void* address);
// The path of the loaded library with this file name (Windows); empty when none is loaded.
std::string LoadedModulePath(const char* name);

// The file of the library this program is linked against. (On Windows a function's address in the
// program is its import stub, so the library is found by its name there.)
inline std::string LinkedLibraryPath() {
#ifdef _WIN32
  return LoadedModulePath("KSVHidApi.dll");
#else
  return FileHolding(reinterpret_cast<const void*>(&GetKestrovanHIDversion));
#endif
}

// A library loaded at run time, with its seven exports resolved by name. Move-only; the library
// stays loaded while its owner lives.
class LoadedLibrary {
 public:
  // Loads `name` (a file name, searched as the system searches for libraries, or a path). On
  // failure: nothing, with `error` saying what failed (the file, or the names not found).
  static std::optional<LoadedLibrary> Load(const std::string& name, std::string& error);
  // Loads a companion library (KSVHidDiagnose, say) the same way, without looking for the seven
  // exports: exports() stays empty, and Find gives its own.
  static std::optional<LoadedLibrary> LoadCompanion(const std::string& name, std::string& error);

  LoadedLibrary(LoadedLibrary&& other) noexcept;
  LoadedLibrary& operator=(LoadedLibrary&& other) noexcept;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary();

  const ExportTable& exports() const { return exports_; }
  // The address of the export `name`; null when the library has none by that name.
  void* Find(const char* name) const;
  // The file the library was loaded from (links resolved where the system has them).
  std::string path() const;
  // The system's handle of the library (HMODULE on Windows, the dlopen handle elsewhere).
  void* native() const { return module_; }

 private:
  explicit LoadedLibrary(void* module) : module_(module) {}
  void Unload();

  void* module_ = nullptr;
  ExportTable exports_;
};

// Names the simulation file that a simulator library loaded after this call reads
// (KSVHID_SIMULATION); an empty path removes the variable, so the built-in set applies.
void SetSimulationFile(const std::string& path);

}  // namespace ksv::tool
