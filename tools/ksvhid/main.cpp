// ksvhid: lists the attached modules, exchanges reports with one of them, shows the library's
// version; with --simulated, the same over built-in simulated modules.
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "diagnose.h"
#include "simulated_modules.h"
#include "text.h"

namespace ksvhid {
namespace {

constexpr long long kMostRepeats = 1000000;

std::string Usage() {
  std::ostringstream out;
  out << R"(usage: ksvhid [--simulated] COMMAND [OPTIONS]

Finds the measurement modules attached over USB and exchanges reports with them.

commands:
  list                the number of modules, and each one's ordinal and serial number
  send SERIAL HEX...  opens the module with this serial number, sends one 63-byte command (the
                      bytes given, zero-padded) and shows the result code and the 63 reply bytes
  diagnose            every HID interface in walk order: whether it is a module in the mode
                      and, when it is not listed, why (other IDs, access denied, in use by
                      another program, serial number unreadable, past the 64th interface)
  version             the library's version, and the library file the calls go to
  help                this text

options:
  --mode N            module mode 0..3 for list, send and diagnose (default 0)
  --repeat K          send: K exchanges in a row, with round-trip times (min, median, max)
  --json              list, send, diagnose: one JSON object on standard output
  --simulated         the built-in simulated modules instead of the attached ones
  --                  ends the options (for a serial number that begins with "-")

Serial numbers are shown with "\\" for a backslash and "\xHH" for every byte that is not
printable ASCII; send takes them in the same form. HEX is bytes as hex digit pairs, one or more
per argument: 01 02 ff, or 0102ff, or 0x0102ff.

exit status: 0 success; 1 the operation failed (no such module, or no accepted reply: a result
below 0); 2 a bad argument.

simulated modules (--simulated), in walk order:
)";
  for (const SimulatedDevice& device : BuiltInDevices()) {
    std::string serial;
    for (char16_t unit : device.serial) {
      serial += static_cast<char>(unit & 0xFF);  // the text the library makes of it
    }
    const std::string shown = device.serial_readable ? EscapeSerial(serial) : "(unreadable)";
    out << "  " << std::left << std::setw(16) << shown << std::right << std::hex
        << std::setfill('0') << std::setw(4) << device.ids.vendor << ':' << std::setw(4)
        << device.ids.product << std::dec << std::setfill(' ') << "  " << device.behaviour << '\n';
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
  const bool takes_mode = command == "list" || command == "send" || command == "diagnose";
  if (command != "list" && command != "send" && command != "version" && command != "help" &&
      command != "diagnose") {
    return Fail(kExitUsage, "unknown command \"" + EscapeSerial(command) + "\" (see ksvhid help)");
  }
  if (options.json && !takes_mode) {
    return Fail(kExitUsage, "--json applies to list, send and diagnose");
  }
  if (mode_given && !takes_mode) {
    return Fail(kExitUsage, "--mode applies to list, send and diagnose");
  }
  if (repeat_given && command != "send") {
    return Fail(kExitUsage, "--repeat applies to send");
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

int Run(const std::vector<std::string>& args) {
  Options options;
  if (const int status = Parse(args, options); status != 0) {
    return status;
  }
  if (options.command == "help") {
    std::cout << Usage() << std::flush;
    return kExitSuccess;
  }
  if (options.command == "diagnose") {
    ksv::HidPlatform& platform = options.simulated
                                     ? static_cast<ksv::HidPlatform&>(BuiltInPlatform())
                                     : ksv::NativePlatform();
    return ksv::tool::RunDiagnose(platform, options.mode.value_or(0), options.json);
  }
  const ModuleApi& api = options.simulated ? SimulatedApi() : LibraryApi();
  if (options.command == "list") {
    return RunList(api, options);
  }
  if (options.command == "send") {
    return RunSend(api, options);
  }
  return RunVersion(api);
}

}  // namespace
}  // namespace ksvhid

int main(int argc, char** argv) {
  try {
    return ksvhid::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    return ksvhid::Fail(ksvhid::kExitFailed, std::string("internal error: ") + e.what());
  } catch (...) {
    return ksvhid::Fail(ksvhid::kExitFailed, "internal error");
  }
}
