// The simulator library's platform: the modules that KSVHID_SIMULATION describes, or the built-in
// set when it is not set. Made once per process, on the first call of any export; a bad file is
// reported by one line on standard error and leaves a simulator without modules.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "simulator/simulated_hid_platform.h"

namespace ksv {
namespace {

std::vector<SimulatedDevice> ProcessDevices() {
  const char* path = std::getenv("KSVHID_SIMULATION");
  if (path == nullptr || *path == '\0') {
    return BuiltInSimulatedDevices();
  }
  std::string error;
  std::optional<std::vector<SimulatedDevice>> devices = LoadSimulation(path, error);
  if (!devices) {
    std::fprintf(stderr, "%s\n", BadSimulationLine(error).c_str());
    std::fflush(stderr);
    return {};
  }
  return std::move(*devices);
}

}  // namespace

HidPlatform& NativePlatform() {
  // Initialised once, even when the first calls come from several threads at the same time.
  static SimulatedHidPlatform platform(ProcessDevices());
  return platform;
}

}  // namespace ksv
