// The machine-wide walk lock of the Windows library: a named mutex that the walks of every
// process take, in whatever session and under whatever user they run. One name for the 64- and
// 32-bit DLLs, so that both widths share it.
#pragma once

namespace ksv {

inline constexpr wchar_t kMachineWalkLockName[] = L"Global\\KSVHidApi.Walks";

// Who may use it: every user (WD) may wait on and release it (SYNCHRONIZE | MUTEX_MODIFY_STATE),
// the system and administrators have full access, and processes of low integrity may use it too.
inline constexpr wchar_t kMachineWalkLockAccess[] =
    L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NW;;;LW)";

}  // namespace ksv
