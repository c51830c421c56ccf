// KSVHidWatch.dll against the bed's modules and modules added and removed through
// ksv-virtual-module's control channel.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ksv::test {

// Watches mode 0: `present` (the serial-number texts of the modules there now) must arrive first,
// then each of `cycles` modules, added and removed through `control` (one control line per
// call; false when it could not be sent), must arrive and leave in order, and nothing else come.
void CheckWatch(std::vector<std::string> present, int cycles,
                const std::function<bool(const std::string& line)>& control);

}  // namespace ksv::test
