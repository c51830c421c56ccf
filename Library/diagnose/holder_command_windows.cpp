// Windows does not say which process holds a HID device: no holder is ever named.
#include "diagnose/interface_diagnosis.h"

namespace ksv {

std::string HolderCommand(long long) { return ""; }

}  // namespace ksv
