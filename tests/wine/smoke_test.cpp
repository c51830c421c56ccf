// KSVHidApi.dll loaded as a host application loads it: version, mode, close, the version
// resource, and discovery against Wine's own HID devices (none of which is a module); the
// companion KSVHidWatch.dll beside it.
#include <windows.h>

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <cstring>
#include <string>
#include <thread>

#include "KSVHidWatch.h"
#include "wine_check.h"

using ksv::test::LoadedDll;

namespace {

void CheckVersionAndMode(const LoadedDll& api) {
  int major = -1, minor = -1, build = -1;
  KSV_CHECK_EQ(api.GetKestrovanHIDversion(&major, &minor, &build), 1);
  KSV_CHECK_EQ(major, 1);
  KSV_CHECK_EQ(minor, 3);
  KSV_CHECK_EQ(build, 170);
  for (int mode : {1, 2, 3, 0}) {
    KSV_CHECK_EQ(api.SetModuleMode(mode), 1);
  }
  KSV_CHECK_EQ(api.SetModuleMode(4), 0);
  KSV_CHECK_EQ(api.SetModuleMode(-1), 0);
}

void CheckClose(const LoadedDll& api) {
  KSV_CHECK_EQ(api.CloseKestrovanHID(nullptr), 0);
  KSV_CHECK_EQ(api.CloseKestrovanHID(ksv::test::kAllOnes), 0);

  char dir[MAX_PATH] = {};
  char file[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, dir);
  GetTempFileNameA(dir, "ksv", 0, file);
  HANDLE h = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  KSV_CHECK(h != INVALID_HANDLE_VALUE);
  KSV_CHECK_EQ(api.CloseKestrovanHID(h), 1);
  DWORD flags = 0;
  KSV_CHECK(!GetHandleInformation(h, &flags));                     // really closed
  KSV_CHECK(GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES);  // delete-on-close ran
}

std::string VersionString(const void* block, const char* name) {
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", name);
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block, query, &value, &length) || value == nullptr) {
    return "<missing>";
  }
  return static_cast<const char*>(value);
}

void CheckVersionResource(const LoadedDll& api) {
  char path[MAX_PATH] = {};
  KSV_CHECK(GetModuleFileNameA(api.module, path, MAX_PATH) > 0);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  KSV_CHECK(size > 0);
  if (size == 0) {
    return;
  }
  std::string block(size, '\0');
  KSV_CHECK(GetFileVersionInfoA(path, 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  KSV_CHECK(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  if (fixed != nullptr) {
    KSV_CHECK_EQ(fixed->dwFileVersionMS, (1u << 16) | 3u);
    KSV_CHECK_EQ(fixed->dwFileVersionLS, 170u << 16);
    KSV_CHECK_EQ(fixed->dwProductVersionMS, (1u << 16) | 3u);
    KSV_CHECK_EQ(fixed->dwProductVersionLS, 170u << 16);
  }
  KSV_CHECK(VersionString(block.data(), "FileVersion") == "1.3.170");
  KSV_CHECK(VersionString(block.data(), "ProductVersion") == "1.3.170");
  KSV_CHECK(VersionString(block.data(), "InternalName") == "KSVHidApi");
  KSV_CHECK(VersionString(block.data(), "OriginalFilename") == "KSVHidApi.dll");
  KSV_CHECK(VersionString(block.data(), "FileDescription") != "<missing>");
  KSV_CHECK(VersionString(block.data(), "ProductName") != "<missing>");
}

// Number of HID interfaces Wine presents, counted without the library.
int CountHidInterfaces() {
  GUID hid;
  HidD_GetHidGuid(&hid);
  HDEVINFO list =
      SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    return -1;
  }
  int count = 0;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  while (SetupDiEnumDeviceInterfaces(list, nullptr, &hid, static_cast<DWORD>(count), &data)) {
    ++count;
  }
  SetupDiDestroyDeviceInfoList(list);
  return count;
}

// Wine's own HID devices carry other IDs: nothing is a module in any mode, and the out-arguments
// stay as they were.
void CheckNoModules(const LoadedDll& api) {
  std::printf("HID interfaces present under Wine: %d\n", CountHidInterfaces());
  for (int mode = 0; mode <= 3; ++mode) {
    KSV_CHECK_EQ(api.SetModuleMode(mode), 1);
    KSV_CHECK_EQ(api.GetKestrovanHIDnumber(), 0);

    char serial[300];
    std::memset(serial, 0x5A, sizeof serial);
    KSV_CHECK_EQ(api.GetKestrovanHIDName(0, serial), 0);
    bool untouched = true;
    for (char c : serial) {
      untouched = untouched && c == 0x5A;
    }
    KSV_CHECK(untouched);

    HANDLE sentinel = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5A5A5A5A));
    HANDLE out = sentinel;
    KSV_CHECK_EQ(api.OpenKestrovanHID(&out, ""), 0);
    KSV_CHECK_EQ(api.OpenKestrovanHID(&out, "0001"), 0);
    KSV_CHECK(out == sentinel);
  }
  api.SetModuleMode(0);
}

// The companion library: no module arrives under Wine on its own, a wait ends at its limit, and
// Close from another thread ends a wait without one. Names the way the watch learns of changes.
void CheckWatch() {
  KSVHidWatchHandle w = nullptr;
  KSV_CHECK_EQ(KSVHidWatchOpen(-1, &w), KSVHID_WATCH_BAD_MODE);
  KSV_CHECK_EQ(KSVHidWatchOpen(0, &w), 1);
  const char* method = KSVHidWatchMethod(w);
  std::printf("watch method under Wine: %s\n", method != nullptr ? method : "(none)");
  KSV_CHECK(method != nullptr);
  KSVHidWatchEvent e{};
  const DWORD start = GetTickCount();
  KSV_CHECK_EQ(KSVHidWatchNext(w, 300, &e), 0);
  const DWORD waited = GetTickCount() - start;
  KSV_CHECK_MSG(waited >= 250 && waited < 3000, "a 300 ms wait took " + std::to_string(waited));
  int result = 1;
  std::thread waiter([&] { result = KSVHidWatchNext(w, -1, &e); });
  Sleep(200);
  KSV_CHECK_EQ(KSVHidWatchClose(w), 1);
  waiter.join();
  KSV_CHECK_EQ(result, KSVHID_WATCH_CLOSED);
  KSV_CHECK_EQ(KSVHidWatchClose(w), 0);
}

}  // namespace

int main() {
  LoadedDll api;
  if (!ksv::test::LoadDll(api)) {
    return ksv::test::Finish("smoke_test");
  }
  CheckVersionAndMode(api);
  CheckClose(api);
  CheckVersionResource(api);
  CheckNoModules(api);
  CheckWatch();
  return ksv::test::Finish("smoke_test");
}
