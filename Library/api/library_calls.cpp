#include "api/library_calls.h"

namespace ksv {

int CloseDevice(HidPlatform& platform, DeviceHandle handle) {
  if (IsNoDevice(handle)) {
    return 0;
  }
  platform.Close(handle);
  return 1;
}

int WriteVersion(int* major, int* minor, int* build) {
  *major = kVersionMajor;
  *minor = kVersionMinor;
  *build = kVersionBuild;
  return 1;
}

}  // namespace ksv
