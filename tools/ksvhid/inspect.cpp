#include "inspect.h"

#include <iostream>
#include <utility>

#include "diagnose.h"
#include "simulator/simulated_hid_platform.h"

namespace ksv::tool {

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

int DiagnoseAttached(int mode, bool json) { return RunDiagnose(NativePlatform(), mode, json); }

int DiagnoseSimulated(const std::string& simulation_file, int mode, bool json) {
  std::vector<SimulatedDevice> devices = BuiltInSimulatedDevices();
  if (!simulation_file.empty()) {
    std::string error;
    std::optional<std::vector<SimulatedDevice>> loaded = LoadSimulation(simulation_file, error);
    if (!loaded) {
      std::cerr << BadSimulationLine(error) << '\n';
    }
    devices = loaded ? std::move(*loaded) : std::vector<SimulatedDevice>{};
  }
  SimulatedHidPlatform platform(std::move(devices));
  return RunDiagnose(platform, mode, json);
}

}  // namespace ksv::tool
