#include "export_table.h"

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#endif

namespace ksv::tool {
namespace {

#ifdef _WIN32
void* OpenLibrary(const std::string& name) { return LoadLibraryA(name.c_str()); }
void* Symbol(void* module, const char* name) {
  // GetProcAddress gives a generic function pointer; it is converted to the export's own type.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseLibrary(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
std::string LastError() { return "error " + std::to_string(GetLastError()); }
#else
// RTLD_LOCAL: the names stay the library's own, so that a program linked against one build of
// the library may load another beside it.
void* OpenLibrary(const std::string& name) { return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* module, const char* name) { return dlsym(module, name); }
void CloseLibrary(void* module) { dlclose(module); }
std::string LastError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}
#endif

template <typename Fn>
void Resolve(void* module, const char* name, Fn& out, std::string& missing) {
  out = reinterpret_cast<Fn>(Symbol(module, name));
  if (out == nullptr) {
    missing += missing.empty() ? name : std::string(", ") + name;
  }
}

}  // namespace

std::optional<LoadedLibrary> LoadedLibrary::Load(const std::string& name, std::string& error) {
  void* module = OpenLibrary(name);
  if (module == nullptr) {
    error = "cannot load " + name + ": " + LastError();
    return std::nullopt;
  }
  LoadedLibrary library(module);
  ExportTable& t = library.exports_;
  std::string missing;
  Resolve(module, "GetKestrovanHIDnumber", t.GetKestrovanHIDnumber, missing);
  Resolve(module, "GetKestrovanHIDName", t.GetKestrovanHIDName, missing);
  Resolve(module, "OpenKestrovanHID", t.OpenKestrovanHID, missing);
  Resolve(module, "SendReceiveKestrovanHID", t.SendReceiveKestrovanHID, missing);
  Resolve(module, "CloseKestrovanHID", t.CloseKestrovanHID, missing);
  Resolve(module, "GetKestrovanHIDversion", t.GetKestrovanHIDversion, missing);
  Resolve(module, "SetModuleMode", t.SetModuleMode, missing);
  if (!missing.empty()) {
    error = name + " lacks the export(s) " + missing;
    return std::nullopt;
  }
  return library;
}

std::optional<LoadedLibrary> LoadedLibrary::LoadCompanion(const std::string& name,
                                                          std::string& error) {
  void* module = OpenLibrary(name);
  if (module == nullptr) {
    error = "cannot load " + name + ": " + LastError();
    return std::nullopt;
  }
  return LoadedLibrary(module);
}

void* LoadedLibrary::Find(const char* name) const { return Symbol(module_, name); }

LoadedLibrary::LoadedLibrary(LoadedLibrary&& other) noexcept
    : module_(std::exchange(other.module_, nullptr)), exports_(other.exports_) {}

LoadedLibrary& LoadedLibrary::operator=(LoadedLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    module_ = std::exchange(other.module_, nullptr);
    exports_ = other.exports_;
  }
  return *this;
}

LoadedLibrary::~LoadedLibrary() { Unload(); }

void LoadedLibrary::Unload() {
  if (module_ != nullptr) {
    CloseLibrary(std::exchange(module_, nullptr));
  }
}

std::string LoadedLibrary::path() const {
  return FileHolding(reinterpret_cast<const void*>(exports_.GetKestrovanHIDversion));
}

std::string LoadedModulePath([[maybe_unused]] const char* name) {
#ifdef _WIN32
  char path[MAX_PATH + 1] = {};
  HMODULE module = GetModuleHandleA(name);
  if (module == nullptr || GetModuleFileNameA(module, path, MAX_PATH) == 0) {
    return {};
  }
  return path;
#else
  return {};
#endif
}

std::string FileHolding(const void* address) {
#ifdef _WIN32
  HMODULE module = nullptr;
  char path[MAX_PATH + 1] = {};
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(address), &module) ||
      GetModuleFileNameA(module, path, MAX_PATH) == 0) {
    return {};
  }
  return path;
#else
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  // The file itself, not the links that led to it: its name carries the full version.
  char real[PATH_MAX] = {};
  if (realpath(info.dli_fname, real) == nullptr) {
    return info.dli_fname;
  }
  return real;
#endif
}

void SetSimulationFile(const std::string& path) {
#ifdef _WIN32
  _putenv_s("KSVHID_SIMULATION", path.c_str());
#else
  if (path.empty()) {
    unsetenv("KSVHID_SIMULATION");
  } else {
    setenv("KSVHID_SIMULATION", path.c_str(), 1);
  }
#endif
}

}  // namespace ksv::tool
