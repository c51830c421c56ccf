#include "simulation_summary.h"

#include <utility>

#include "simulator/simulated_hid_platform.h"

namespace ksv {

std::vector<SimulatedModuleSummary> BuiltInSimulatedModules() {
  std::vector<SimulatedModuleSummary> modules;
  for (const SimulatedDevice& device : BuiltInSimulatedDevices()) {
    SimulatedModuleSummary summary;
    if (device.serial) {
      summary.serial.emplace();
      for (char16_t unit : *device.serial) {
        *summary.serial += static_cast<char>(unit & 0xFF);  // the text the library makes of it
      }
    }
    summary.vendor = device.ids.vendor;
    summary.product = device.ids.product;
    summary.behaviour = device.behaviour;
    modules.push_back(std::move(summary));
  }
  return modules;
}

std::optional<std::size_t> ReadSimulationFile(const std::string& path, std::string& bad_line) {
  std::string error;
  const std::optional<std::vector<SimulatedDevice>> devices = LoadSimulation(path, error);
  if (!devices) {
    bad_line = BadSimulationLine(error);
    return std::nullopt;
  }
  return devices->size();
}

}  // namespace ksv
