// What a tool shows of the simulator without loading the simulator library: its built-in set of
// modules and its own reading of a simulation file. Nothing of the library's internals shows
// through this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ksv {

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

}  // namespace ksv
