// The seven exported functions: each binds the native platform and calls the logic through the
// one exception guard.
#include "KSVHidApi.h"

#include "api/guard.h"
#include "core/module_mode.h"
#include "discovery/walk.h"
#include "exchange/exchange.h"
#include "ksv_version.h"

#if defined(__GNUC__) && !defined(_WIN32)
#define KSVHID_EXPORT __attribute__((visibility("default")))
#else
#define KSVHID_EXPORT  // Windows exports come from the module-definition file
#endif

namespace {

// What a walk, a close and a refused mode give when they fail: no module, nothing done.
constexpr int kNothing = 0;

}  // namespace

extern "C" {

KSVHID_EXPORT int KSVHID_CALL GetKestrovanHIDnumber(void) {
  return ksv::CallGuarded(kNothing, [] { return ksv::CountModules(ksv::NativePlatform()); });
}

KSVHID_EXPORT int KSVHID_CALL GetKestrovanHIDName(int ordinal, char* serial) {
  return ksv::CallGuarded(kNothing,
                          [&] { return ksv::NameModule(ksv::NativePlatform(), ordinal, serial); });
}

KSVHID_EXPORT int KSVHID_CALL OpenKestrovanHID(KSVHidHandle* handle, const char* serial) {
  return ksv::CallGuarded(
      kNothing, [&] { return ksv::OpenModuleBySerial(ksv::NativePlatform(), handle, serial); });
}

KSVHID_EXPORT int KSVHID_CALL SendReceiveKestrovanHID(KSVHidHandle handle, const char* command,
                                                      char* reply) {
  return ksv::CallGuarded(ksv::kResultOther, [&] {
    return ksv::SendReceive(ksv::NativePlatform(), handle, command, reply);
  });
}

KSVHID_EXPORT int KSVHID_CALL CloseKestrovanHID(KSVHidHandle handle) {
  return ksv::CallGuarded(kNothing,
                          [&] { return ksv::CloseModule(ksv::NativePlatform(), handle); });
}

KSVHID_EXPORT int KSVHID_CALL GetKestrovanHIDversion(int* major, int* minor, int* build) {
  return ksv::CallGuarded(kNothing, [&] {
    *major = KSV_VERSION_MAJOR;
    *minor = KSV_VERSION_MINOR;
    *build = KSV_VERSION_BUILD;
    return 1;
  });
}

KSVHID_EXPORT int KSVHID_CALL SetModuleMode(int mode) {
  return ksv::CallGuarded(kNothing, [&] { return ksv::SetModuleMode(mode); });
}

}  // extern "C"
