// Files of sysfs that describe a device, read the same way by the walk and by the watch: whole,
// in one small buffer, and failing as a whole when a read fails.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <optional>

namespace ksv {

// A descriptor, closed with its owner.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// sysfs hands out at most one page; a longer text would be cut, not overrun.
inline constexpr std::size_t kSmallFileBytes = 4096;
using SmallFileText = std::array<char, kSmallFileBytes>;

// Reads the whole of a small file into `text`: its length, or nothing when it cannot be opened or
// a read fails (a device that leaves meanwhile makes sysfs reads fail).
std::optional<std::size_t> ReadSmallFile(const char* path, SmallFileText& text);

// The uevent text of the HID device behind the character device `device` (a hidraw node).
std::optional<std::size_t> ReadNodeUevent(dev_t device, SmallFileText& text);

}  // namespace ksv
