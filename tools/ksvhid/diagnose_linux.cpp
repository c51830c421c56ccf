// What Linux adds to ksvhid diagnose: the command of the process that holds a hidraw node (the
// platform finds its ID in /proc/locks), and the udev rule that lets a user open modules.
#include <fstream>
#include <iterator>
#include <string>

#include "diagnose.h"

namespace ksv::tool {

std::string CommandOf(long long pid) {
  const std::string base = "/proc/" + std::to_string(pid) + "/";
  std::ifstream cmdline(base + "cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  while (!text.empty() && text.back() == '\0') {
    text.pop_back();
  }
  for (char& c : text) {
    c = c == '\0' ? ' ' : c;
  }
  if (text.empty()) {
    std::ifstream comm(base + "comm");
    std::getline(comm, text);
  }
  return text;
}

const char* AccessDeniedAdvice() {
  return "install the udev rule 70-ksvhid.rules and reload udev, see the README";
}

}  // namespace ksv::tool
