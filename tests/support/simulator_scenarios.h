// Scenarios for the simulator library, called through its seven exports exactly as an
// application calls them. The library is loaded afresh for each scenario (so that it reads
// KSVHID_SIMULATION anew) and unloaded after it. Shared by the Linux test (dlopen) and the Windows
// test under Wine (LoadLibrary); each gives the failures it found, one line each.
#pragma once

#include <string>
#include <vector>

namespace ksv::test {

struct SimulatorRun {
  std::string library;   // path of the simulator library
  std::string work_dir;  // where simulation files may be written
};

// The built-in set: count, names and exchanges in the modes that see its modules.
std::vector<std::string> CheckBuiltInSet(const SimulatorRun& run);
// A file-described set: each reply kind, report IDs 2 and 3, a short length, a delay, a delay
// past the wait limit, a busy module, an unreadable serial number, a module that leaves; one
// table of exchanges.
std::vector<std::string> CheckFileDescribedSet(const SimulatorRun& run);
// One open module is held exclusively within the process until it is closed; two threads drive
// two modules at the same time without taking each other's replies.
std::vector<std::string> CheckExclusivity(const SimulatorRun& run);
// Each kind of bad file: no modules, and exactly one line on standard error, once.
std::vector<std::string> CheckBadFiles(const SimulatorRun& run);

}  // namespace ksv::test
