// The process that holds a hidraw node, named for people: its command line from /proc (the
// platform finds its ID in /proc/locks).
#include <fstream>
#include <iterator>
#include <string>

#include "diagnose/interface_diagnosis.h"

namespace ksv {

std::string HolderCommand(long long pid) {
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

}  // namespace ksv
