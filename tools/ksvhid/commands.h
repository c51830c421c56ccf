// The ksvhid commands, over either table of calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module_api.h"

namespace ksv::tool {

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;  // the operation ran and did not succeed
inline constexpr int kExitUsage = 2;   // a bad argument: nothing was attempted

// What the command line asked for, checked.
struct Options {
  std::string command;
  bool simulated = false;
  std::string simulation_file;  // --simulation, or the file of `simulation check`
  bool json = false;
  std::optional<int> mode;
  long long repeat = 1;
  std::string serial;                       // send: the bytes to compare, escapes resolved
  std::vector<std::uint8_t> command_bytes;  // send: at most 63
};

// Prints "ksvhid: <message>" on standard error and gives `status`.
int Fail(int status, const std::string& message);

int RunList(const ModuleApi& api, const Options& options);
int RunSend(const ModuleApi& api, const Options& options);
int RunVersion(const ModuleApi& api);

}  // namespace ksv::tool
