// The DLL's slot for kernel32's CreateFileW in its import address table is found through its PE
// import descriptors and pointed at a recorder that calls the real function. Wine does not enforce
// share modes on HID devices, so the calls themselves are what is checked.
#include "walk_opens_windows.h"

extern "C" {
#include <hidsdi.h>
}

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ksv::test {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr int kSerialBytes = 256;

using CreateFileWFn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
using Slot = decltype(IMAGE_THUNK_DATA{}.u1.Function);

struct CreateCall {
  std::wstring path;
  DWORD access;
  DWORD share;
};

CreateFileWFn g_real_create = nullptr;
std::mutex g_calls_mutex;
std::vector<CreateCall> g_calls;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE template_file) {
  {
    const std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.push_back({path != nullptr ? path : L"", access, share});
  }
  return g_real_create(path, access, share, security, disposition, flags, template_file);
}

// The module's import slot of kernel32's CreateFileW, or null. By name where the descriptor keeps
// its name table; else by the address the loader put there.
Slot* CreateFileWSlot(HMODULE module) {
  auto* const base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
    return nullptr;
  }
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) {
    return nullptr;
  }
  const FARPROC real = GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateFileW");
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       d->Name != 0; ++d) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), "kernel32.dll") != 0) {
      continue;
    }
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    if (d->OriginalFirstThunk == 0) {
      for (; slot->u1.Function != 0; ++slot) {
        if (slot->u1.Function == reinterpret_cast<Slot>(real)) {
          return &slot->u1.Function;
        }
      }
      continue;
    }
    for (auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
         name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
        continue;
      }
      const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
          base + static_cast<std::size_t>(name->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), "CreateFileW") == 0) {
        return &slot->u1.Function;
      }
    }
  }
  return nullptr;
}

// Points the slot at the recorder for its lifetime; the calls recorded start empty.
class CreateFileWRecorder {
 public:
  explicit CreateFileWRecorder(HMODULE module) : slot_(CreateFileWSlot(module)) {
    g_calls.clear();
    if (slot_ != nullptr) {
      g_real_create = reinterpret_cast<CreateFileWFn>(*slot_);
      Put(reinterpret_cast<Slot>(&RecordingCreateFileW));
    }
  }
  ~CreateFileWRecorder() {
    if (slot_ != nullptr) {
      Put(reinterpret_cast<Slot>(g_real_create));
    }
  }
  CreateFileWRecorder(const CreateFileWRecorder&) = delete;
  CreateFileWRecorder& operator=(const CreateFileWRecorder&) = delete;

  bool installed() const { return slot_ != nullptr && !failed_; }

 private:
  void Put(Slot value) {
    DWORD old = 0;
    if (!VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old)) {
      failed_ = true;
      return;
    }
    *slot_ = value;
    VirtualProtect(slot_, sizeof *slot_, old, &old);
  }

  Slot* slot_;
  bool failed_ = false;
};

// The IDs of the interface at `path`, read on a handle that asks for no access.
std::optional<std::pair<USHORT, USHORT>> IdsOf(const std::wstring& path) {
  const HANDLE h =
      CreateFileW(path.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  const bool read = HidD_GetAttributes(h, &attributes) != FALSE;
  CloseHandle(h);
  if (!read) {
    return std::nullopt;
  }
  return std::make_pair(attributes.VendorID, attributes.ProductID);
}

// The path as printable text: the low byte of each unit.
std::string Narrow(const std::wstring& path) {
  std::string text;
  for (const wchar_t unit : path) {
    text += static_cast<char>(unit & 0x7F);
  }
  return text;
}

}  // namespace

void CheckWalkOpens(HMODULE dll, const Exports& api) {
  const ULONGLONG start = GetTickCount64();
  api.SetModuleMode(0);
  std::vector<CreateCall> calls;
  {
    const CreateFileWRecorder recorder(dll);
    KSV_CHECK_MSG(recorder.installed(), "the DLL's import of CreateFileW is not replaced");
    const int count = api.GetKestrovanHIDnumber();
    KSV_CHECK(count > 0);
    char last[kSerialBytes] = {};
    KSV_CHECK_EQ(api.GetKestrovanHIDName(count - 1, last), 1);
    KSVHidHandle h = nullptr;
    KSV_CHECK_EQ(api.OpenKestrovanHID(&h, last), 1);
    api.CloseKestrovanHID(h);
    const std::lock_guard<std::mutex> lock(g_calls_mutex);
    calls.swap(g_calls);
  }
  std::map<std::wstring, std::optional<std::pair<USHORT, USHORT>>> ids;
  int described = 0;  // calls on interfaces without a module's IDs
  int exclusive = 0;  // calls with share mode 0
  for (const CreateCall& call : calls) {
    if (ids.count(call.path) == 0) {
      ids[call.path] = IdsOf(call.path);
    }
    const auto& id = ids[call.path];
    const std::string what = Narrow(call.path) + ": access " + std::to_string(call.access) +
                             ", share " + std::to_string(call.share);
    KSV_CHECK_MSG(id.has_value(), what);
    const bool module = id && IsModuleIds(id->first, id->second, 0);
    if (!module) {
      ++described;
      KSV_CHECK_MSG(call.access == 0 && (call.share & kShareReadWrite) == kShareReadWrite, what);
    }
    if (call.share == 0) {
      ++exclusive;
      KSV_CHECK_MSG(module, what);
    }
  }
  std::printf(
      "walk opens: %zu CreateFileW calls, %d on other interfaces, %d with share mode 0 (%.1f s)\n",
      calls.size(), described, exclusive, static_cast<double>(GetTickCount64() - start) / 1000);
  // Each walk passes the bed's other devices, and the open takes its module exclusively.
  KSV_CHECK(described > 0);
  KSV_CHECK(exclusive > 0);
}

}  // namespace ksv::test
