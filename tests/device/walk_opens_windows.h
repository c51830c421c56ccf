// How the DLL's walks open HID interfaces (Windows), seen through its own import of CreateFileW.
#pragma once

#include <windows.h>

#include "device_suite.h"

namespace ksv::test {

// Runs a count, the name of the last ordinal and the open of that module in mode 0 through `api`,
// the exports of the loaded DLL `dll`, with the DLL's CreateFileW replaced by a recorder, and
// checks each call: an interface without a module's IDs is asked for no access and shared for
// reading and writing; only an interface with a module's IDs is opened with share mode 0.
void CheckWalkOpens(HMODULE dll, const Exports& api);

}  // namespace ksv::test
