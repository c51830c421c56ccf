// What Linux adds to ksvhid diagnose: who holds a hidraw node (the library's exclusive opens are
// flock() locks, which /proc/locks lists), and the udev rule that lets a user open modules.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "diagnose.h"

namespace ksv::tool {
namespace {

constexpr char kLocksFile[] = "/proc/locks";

// The text of /proc/PID/cmdline with its separating zeros as spaces, or else /proc/PID/comm.
std::string CommandOf(long pid) {
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

}  // namespace

// A line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 812 00:05:1027 0 EOF", the device of the
// file system (major:minor in hex) and the inode. Lines with "->" are waiters, not holders.
std::optional<Holder> FindHolder(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) {
    return std::nullopt;
  }
  std::ifstream locks(kLocksFile);
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, mode, access, where;
    long pid = 0;
    if (!(fields >> id >> kind) || kind == "->" || !(fields >> mode >> access >> pid >> where)) {
      continue;
    }
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major_number, &minor_number, &inode) != 3) {
      continue;
    }
    if (pid > 0 && major_number == major(st.st_dev) && minor_number == minor(st.st_dev) &&
        inode == st.st_ino) {
      return Holder{pid, CommandOf(pid)};
    }
  }
  return std::nullopt;
}

const char* AccessDeniedAdvice() {
  return "install the udev rule 70-ksvhid.rules and reload udev, see the README";
}

}  // namespace ksv::tool
