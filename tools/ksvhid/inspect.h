// What ksvhid looks at below the seven exports: the HID interfaces themselves (diagnose), over the
// native platform or over simulated modules, and the simulator's own modules and reading of
// simulation files. Its target links the library's internals privately, so the program sees
// nothing of them beyond these declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ksv::tool {

struct SimulatedModuleSummary {
  std::optional<std::string> serial;  // the text the library makes of it; nothing: unreadable
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::string behaviour;  // what a user sees
};

// The simulator's built-in set, in walk order.
std::vector<SimulatedModuleSummary> BuiltInSimulatedModules();

// The number of devices a simulation file describes, as the simulator reads it; nothing, with
// `bad_line` set to the simulator's one-line report, when it does not take the file.
std::optional<std::size_t> ReadSimulationFile(const std::string& path, std::string& bad_line);

// ksvhid diagnose over the attached interfaces.
int DiagnoseAttached(int mode, bool json);

// ksvhid diagnose over the simulated modules the simulator library would have: those that
// `simulation_file` describes, or the built-in set when it is empty. A bad file is reported on
// standard error and leaves no module.
int DiagnoseSimulated(const std::string& simulation_file, int mode, bool json);

}  // namespace ksv::tool
