// The machine-wide walk lock, between two processes: while another process holds it, a walk
// waits for it; past the wait's bound it walks anyway; a lock whose holder was killed is taken
// over at once. This program is both sides: started with "hold MS" it takes the lock, says so
// through an event, and releases it after MS milliseconds (or never, for -1).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "discovery/visit.h"
#include "platform/windows/windows_walk_lock.h"
#include "wine_check.h"

namespace {

constexpr wchar_t kHeldEvent[] = L"Local\\KSVHidApi.WalkLockTest.Held";
constexpr DWORD kStartLimitMs = 60000;  // a Wine process may be slow to start on a busy machine
constexpr long long kHoldMs = 1000;
constexpr long long kBoundMs = ksv::kMachineWalkLockWaitMs;

int Hold(long long ms) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, ksv::kMachineWalkLockName);
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHeldEvent);
  if (mutex == nullptr || held == nullptr ||
      WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) {
    return 2;
  }
  SetEvent(held);
  Sleep(ms < 0 ? INFINITE : static_cast<DWORD>(ms));
  ReleaseMutex(mutex);
  return 0;
}

// Starts this program as a holder and waits until it holds the lock; its process handle.
HANDLE StartHolder(long long ms, HANDLE held) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" hold " + std::to_wstring(ms);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ResetEvent(held);
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("the holder could not be started: error %lu\n", GetLastError());
    return nullptr;
  }
  CloseHandle(process.hThread);
  const DWORD wait = WaitForSingleObject(held, kStartLimitMs);
  if (wait != WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("the holder did not take the lock: wait %lu, its exit code %lu\n", wait, code);
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    return nullptr;
  }
  return process.hProcess;
}

// Milliseconds one count takes; the count itself must be 0 (plain Wine has no modules).
long long TimedCount(const ksv::test::LoadedDll& api) {
  const ULONGLONG start = GetTickCount64();
  KSV_CHECK_EQ(api.GetKestrovanHIDnumber(), 0);
  return static_cast<long long>(GetTickCount64() - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
    return Hold(std::strtoll(argv[2], nullptr, 10));
  }
  ksv::test::LoadedDll api;
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, kHeldEvent);
  if (!ksv::test::LoadDll(api) || held == nullptr) {
    return ksv::test::Finish("walk_lock_test");
  }
  KSV_CHECK(TimedCount(api) < kBoundMs / 2);  // nobody holds it

  // Held for a while: the walk waits until the holder lets go, and not for the whole bound.
  HANDLE holder = StartHolder(kHoldMs, held);
  KSV_CHECK(holder != nullptr);
  long long ms = TimedCount(api);
  KSV_CHECK_MSG(ms >= kHoldMs / 2 && ms < kBoundMs, std::to_string(ms) + " ms");
  WaitForSingleObject(holder, kStartLimitMs);
  CloseHandle(holder);

  // Held for ever: the walk proceeds once the bound has passed, well before twice the bound.
  holder = StartHolder(-1, held);
  KSV_CHECK(holder != nullptr);
  ms = TimedCount(api);
  KSV_CHECK_MSG(ms >= kBoundMs - 100 && ms < 2 * kBoundMs, std::to_string(ms) + " ms");

  // Its holder killed: the lock is abandoned, not gone (this process keeps it in existence), and
  // the next walk takes it over at once.
  HANDLE keep = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, ksv::kMachineWalkLockName);
  KSV_CHECK(keep != nullptr);
  TerminateProcess(holder, 1);
  WaitForSingleObject(holder, kStartLimitMs);
  CloseHandle(holder);
  ms = TimedCount(api);
  KSV_CHECK_MSG(ms < kBoundMs / 2, std::to_string(ms) + " ms");
  // The walk released what it took over: the lock can be had again (once the walks of other
  // programs using the library meanwhile, other tests among them, are done).
  KSV_CHECK_EQ(WaitForSingleObject(keep, static_cast<DWORD>(kBoundMs)), WAIT_OBJECT_0);
  ReleaseMutex(keep);
  CloseHandle(keep);
  CloseHandle(held);
  return ksv::test::Finish("walk_lock_test");
}
