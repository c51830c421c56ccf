// The seven calls ksvhid makes, and where they go: the library ksvhid is linked against, or the
// simulator library loaded beside it.
#pragma once

#include <string>

#include "export_table.h"

namespace ksv::tool {

struct ModuleApi {
  ksv::tool::ExportTable calls;
  // Where the calls go, as `ksvhid version` shows it: the library file's path.
  std::string location;
};

}  // namespace ksv::tool
