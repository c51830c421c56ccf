// ksvhid: lists the attached modules, exchanges reports with one of them, shows the library's
// version; with --simulated or --simulation FILE, the same over the simulator library.
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <process.h>
#else
#include <unistd.h>

#include <climits>
#endif

#include "KSVHidDiagnose.h"
#include "commands.h"
#include "diagnose.h"
#include "export_table.h"
#include "simulation_summary.h"
#include "text.h"
#include "watch.h"

namespace ksv::tool {
namespace {

constexpr long long kMostRepeats = 1000000;

std::string Usage() {
  std::ostringstream out;
  out << R"(usage: ksvhid [--simulated | --simulation FILE] COMMAND [OPTIONS]

Finds the measurement modules attached over USB and exchanges reports with them.

commands:
  list                the number of modules, and each one's ordinal and serial number
  send SERIAL HEX...  opens the module with this serial number, sends one 63-byte command (the
                      bytes given, zero-padded) and shows the result code and the 63 reply bytes
  diagnose            every HID interface in walk order: whether it is a module in the mode
                      and, when it is not listed, why (other IDs, access denied, in use by
                      another program, serial number unreadable, past the 64th interface)
  version             the library's version, and the library file the calls go to
  watch               one line per module that arrives or leaves (the present ones first):
                      time, kind, IDs, whether it was free, serial number; until interrupted
  simulation check FILE
                      checks a simulation file as the simulator library reads it
  record FILE -- PROGRAM [ARG...]
                      runs PROGRAM with the recorder library in front of it: its exchanges
                      with the attached modules go on as always and are written to FILE, a
                      simulation file that --simulation replays (Windows: only for a program
                      without a KSVHidApi.dll of its own beside it)
  help                this text

options:
  --mode N            module mode 0..3 for list, send, diagnose and watch (default 0)
  --repeat K          send: K exchanges in a row, with round-trip times (min, median, max)
  --json              list, send, diagnose: one JSON object on standard output; watch: one
                      per event
  --simulated         the built-in simulated modules instead of the attached ones
  --simulation FILE   the simulated modules that FILE describes
  --                  ends the options (for a serial number that begins with "-")

Serial numbers are shown with "\\" for a backslash and "\xHH" for every byte that is not
printable ASCII; send takes them in the same form. HEX is bytes as hex digit pairs, one or more
per argument: 01 02 ff, or 0102ff, or 0x0102ff.

exit status: 0 success; 1 the operation failed (no such module, or no accepted reply: a result
below 0); 2 a bad argument.

simulated modules (--simulated), in walk order:
)";
  for (const SimulatedModuleSummary& module : ksv::BuiltInSimulatedModules()) {
    const std::string shown = module.serial ? EscapeSerial(*module.serial) : "(unreadable)";
    out << "  " << std::left << std::setw(16) << shown << std::right << std::hex
        << std::setfill('0') << std::setw(4) << module.vendor << ':' << std::setw(4)
        << module.product << std::dec << std::setfill(' ') << "  " << module.behaviour << '\n';
  }
  return out.str();
}

// Reads the command line into `options`; 0, or the exit status of a usage error already reported.
int Parse(const std::vector<std::string>& args, Options& options) {
  std::vector<std::string> operands;
  bool mode_given = false;
  bool repeat_given = false;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
      operands.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const auto take_value = [&]() -> std::optional<std::string> {
      if (value) {
        return value;
      }
      if (i + 1 < args.size()) {
        return args[++i];
      }
      return std::nullopt;
    };
    const bool takes_no_value = name == "--" || name == "--help" || name == "-h" ||
                                name == "--simulated" || name == "--json";
    if (takes_no_value && value) {
      return Fail(kExitUsage, EscapeSerial(name) + " takes no value");
    }
    if (name == "--") {
      options_ended = true;
    } else if (name == "--help" || name == "-h") {
      options.command = "help";
    } else if (name == "--simulated") {
      options.simulated = true;
    } else if (name == "--simulation") {
      const std::optional<std::string> file = take_value();
      if (!file || file->empty()) {
        return Fail(kExitUsage, "--simulation takes the path of a simulation file");
      }
      options.simulation_file = *file;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--mode") {
      const std::optional<std::string> text = take_value();
      const std::optional<long long> mode = text ? ParseInteger(*text, 0, 3) : std::nullopt;
      if (!mode) {
        return Fail(kExitUsage, "--mode takes a module mode from 0 to 3");
      }
      options.mode = static_cast<int>(*mode);
      mode_given = true;
    } else if (name == "--repeat") {
      const std::optional<std::string> text = take_value();
      const std::optional<long long> repeat =
          text ? ParseInteger(*text, 1, kMostRepeats) : std::nullopt;
      if (!repeat) {
        return Fail(kExitUsage, "--repeat takes a count from 1 to 1000000");
      }
      options.repeat = *repeat;
      repeat_given = true;
    } else {
      return Fail(kExitUsage, "unknown option " + EscapeSerial(name) + " (see ksvhid help)");
    }
  }
  if (options.command == "help") {
    return 0;
  }
  if (operands.empty()) {
    std::cerr << Usage();
    return kExitUsage;
  }
  options.command = operands.front();
  operands.erase(operands.begin());

  const std::string& command = options.command;
  const bool takes_mode =
      command == "list" || command == "send" || command == "diagnose" || command == "watch";
  if (options.simulated && !options.simulation_file.empty()) {
    return Fail(kExitUsage, "--simulated and --simulation exclude each other");
  }
  if (command != "list" && command != "send" && command != "version" && command != "help" &&
      command != "diagnose" && command != "simulation" && command != "watch") {
    return Fail(kExitUsage, "unknown command \"" + EscapeSerial(command) + "\" (see ksvhid help)");
  }
  if (options.json && !takes_mode) {
    return Fail(kExitUsage, "--json applies to list, send, diagnose and watch");
  }
  if (mode_given && !takes_mode) {
    return Fail(kExitUsage, "--mode applies to list, send, diagnose and watch");
  }
  if (repeat_given && command != "send") {
    return Fail(kExitUsage, "--repeat applies to send");
  }
  if (command == "simulation") {
    if (operands.size() != 2 || operands.front() != "check" || options.simulated ||
        !options.simulation_file.empty()) {
      return Fail(kExitUsage, "simulation takes \"check FILE\" and no --simulated or --simulation");
    }
    options.simulation_file = operands.back();
    return 0;
  }
  if (command != "send") {
    if (!operands.empty()) {
      return Fail(kExitUsage,
                  command + " takes no arguments, not \"" + EscapeSerial(operands.front()) + "\"");
    }
    return 0;
  }

  if (operands.size() < 2) {
    return Fail(kExitUsage, "send takes a serial number and at least one command byte");
  }
  std::string error;
  const std::optional<std::string> serial = UnescapeSerial(operands.front(), error);
  if (!serial) {
    return Fail(kExitUsage, error);
  }
  options.serial = *serial;
  const std::optional<std::vector<std::uint8_t>> bytes =
      ParseHexBytes({operands.begin() + 1, operands.end()}, error);
  if (!bytes) {
    return Fail(kExitUsage, error);
  }
  if (bytes->size() > KSVHID_COMMAND_BYTES) {
    return Fail(kExitUsage, "a command has at most 63 bytes, not " + std::to_string(bytes->size()));
  }
  options.command_bytes = *bytes;
  return 0;
}

// The folder of the running program.
std::string ProgramFolder() {
#ifdef _WIN32
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string program(path, n);
  const std::size_t slash = program.find_last_of("\\/");
#else
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  const std::string program(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  const std::size_t slash = program.rfind('/');
#endif
  return slash == std::string::npos ? "." : program.substr(0, slash);
}

// The simulator library: beside an installed ksvhid, else in the build tree it was built in.
std::optional<ksv::tool::LoadedLibrary> LoadSimulator(std::string& error) {
  const std::string installed =
      ProgramFolder() + "/" + KSV_SIMULATOR_FROM_PROGRAM + "/" + KSV_SIMULATOR_FILE;
  std::optional<ksv::tool::LoadedLibrary> library =
      ksv::tool::LoadedLibrary::Load(installed, error);
  if (!library) {
    library = ksv::tool::LoadedLibrary::Load(KSV_SIMULATOR_BUILT, error);
  }
  return library;
}

// The simulator's diagnose companion, found where the simulator library is.
std::optional<ksv::tool::LoadedLibrary> LoadSimulatorDiagnose(std::string& error) {
  const std::string installed =
      ProgramFolder() + "/" + KSV_SIMULATOR_FROM_PROGRAM + "/" + KSV_SIMULATOR_DIAGNOSE_FILE;
  std::optional<ksv::tool::LoadedLibrary> library =
      ksv::tool::LoadedLibrary::LoadCompanion(installed, error);
  if (!library) {
    library = ksv::tool::LoadedLibrary::LoadCompanion(KSV_SIMULATOR_DIAGNOSE_BUILT, error);
  }
  return library;
}

// The recorder library's folder: beside an installed ksvhid, else in the build tree.
std::string RecorderFolder() {
  const std::string installed = ProgramFolder() + "/" + KSV_RECORDER_FROM_PROGRAM;
  std::string error;
  if (ksv::tool::LoadedLibrary::Load(installed + "/" + KSV_RECORDER_FILE, error)) {
    return installed;
  }
  const std::string built = KSV_RECORDER_BUILT;
  return built.substr(0, built.find_last_of("\\/"));
}

// `record FILE -- PROGRAM ARG...`: the program runs with the recorder library found first (the
// library search path, and KSVHID_LIBRARY for Python) and KSVHID_RECORD naming FILE; its exit
// status is this one's.
int RunRecord(const std::vector<std::string>& args) {
  if (args.size() < 4 || args[2] != "--") {
    return Fail(kExitUsage, "record takes \"FILE -- PROGRAM [ARG...]\"");
  }
  const std::string folder = RecorderFolder();
  const std::vector<std::string> program(args.begin() + 3, args.end());
  std::vector<char*> argv;
  for (const std::string& arg : program) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
#ifdef _WIN32
  const char* path = std::getenv("PATH");
  _putenv_s("PATH", (folder + (path != nullptr ? ";" + std::string(path) : "")).c_str());
  _putenv_s("KSVHID_RECORD", args[1].c_str());
  _putenv_s("KSVHID_LIBRARY", (folder + "/" + KSV_RECORDER_FILE).c_str());
  const intptr_t status = _spawnvp(_P_WAIT, argv[0], argv.data());
  if (status >= 0) {
    return static_cast<int>(status);
  }
#else
  const char* path = std::getenv("LD_LIBRARY_PATH");
  setenv("LD_LIBRARY_PATH", (folder + (path != nullptr ? ":" + std::string(path) : "")).c_str(), 1);
  setenv("KSVHID_RECORD", args[1].c_str(), 1);
  setenv("KSVHID_LIBRARY", (folder + "/" + KSV_RECORDER_FILE).c_str(), 1);
  execvp(argv[0], argv.data());
#endif
  return Fail(kExitFailed, "cannot run " + EscapeSerial(program[0]));
}

// `simulation check FILE`: the simulator's own reading of the file, and its own message.
int CheckSimulation(const std::string& path) {
  std::string bad_line;
  const std::optional<std::size_t> devices = ksv::ReadSimulationFile(path, bad_line);
  if (!devices) {
    std::cerr << bad_line << '\n';
    return kExitFailed;
  }
  std::cout << path << ": " << *devices << " simulated devices\n";
  return kExitSuccess;
}

int Run(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "record") {
    return RunRecord(args);  // what follows belongs to the program it runs
  }
  Options options;
  if (const int status = Parse(args, options); status != 0) {
    return status;
  }
  if (options.command == "help") {
    std::cout << Usage() << std::flush;
    return kExitSuccess;
  }
  if (options.command == "simulation") {
    return CheckSimulation(options.simulation_file);
  }
  if (options.command == "watch") {
    if (options.simulated || !options.simulation_file.empty()) {
      return Fail(kExitUsage, "watch looks at the attached modules only");
    }
    return RunWatch(options);
  }
  std::optional<ksv::tool::LoadedLibrary> simulator;
  ModuleApi api;
  if (options.simulated || !options.simulation_file.empty()) {
    // The simulator reads the variable once, when it is first called: --simulated is the
    // built-in set whatever the environment says.
    ksv::tool::SetSimulationFile(options.simulation_file);
    std::string error;
    simulator = LoadSimulator(error);
    if (!simulator) {
      return Fail(kExitFailed, error);
    }
    api = {simulator->exports(), simulator->path()};
  } else {
    api = {ksv::tool::LinkedExports(), ksv::tool::LinkedLibraryPath()};
  }
  if (api.location.empty()) {
    api.location = "KSVHidApi (path unknown)";
  }
  if (options.command == "diagnose") {
    // The diagnose companion beside the library in use: the simulator's, over its modules.
    DiagnoseCalls diagnose{KSVHidDiagnose, KSVHidDiagnosisFree};
    std::optional<ksv::tool::LoadedLibrary> companion;
    if (simulator) {
      std::string error;
      companion = LoadSimulatorDiagnose(error);
      if (!companion) {
        return Fail(kExitFailed, error);
      }
      diagnose.diagnose =
          reinterpret_cast<decltype(diagnose.diagnose)>(companion->Find("KSVHidDiagnose"));
      diagnose.release =
          reinterpret_cast<decltype(diagnose.release)>(companion->Find("KSVHidDiagnosisFree"));
      if (diagnose.diagnose == nullptr || diagnose.release == nullptr) {
        return Fail(kExitFailed, KSV_SIMULATOR_DIAGNOSE_FILE " lacks its exports");
      }
    }
    return RunDiagnose(api.calls, diagnose, options.mode.value_or(0), options.json);
  }
  if (options.command == "list") {
    return RunList(api, options);
  }
  if (options.command == "send") {
    return RunSend(api, options);
  }
  return RunVersion(api);
}

}  // namespace
}  // namespace ksv::tool

int main(int argc, char** argv) {
  try {
    return ksv::tool::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return ksv::tool::Fail(ksv::tool::kExitFailed, std::string("internal error: ") + e.what());
  } catch (...) {
    return ksv::tool::Fail(ksv::tool::kExitFailed, "internal error");
  }
}
