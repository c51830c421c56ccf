// ksvhid watch: one line, or one JSON object, per module that arrives or leaves.
#pragma once

#include <string>

#include "KSVHidWatch.h"
#include "commands.h"

namespace ksv::tool {

// One event as a line: time, kind, IDs, held state, serial number (escaped).
std::string WatchEventText(const KSVHidWatchEvent& event, const std::string& time, bool json);

// Reports events until interrupted (SIGINT, SIGTERM); 0, or 1 when the watch fails.
int RunWatch(const Options& options);

}  // namespace ksv::tool
