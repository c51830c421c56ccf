#include "platform/linux/linux_files.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>

namespace ksv {

std::optional<std::size_t> ReadSmallFile(const char* path, SmallFileText& text) {
  const Fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::nullopt;
  }
  std::size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = read(fd.get(), text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    length += static_cast<std::size_t>(got);
  }
  return length;
}

std::optional<std::size_t> ReadNodeUevent(dev_t device, SmallFileText& text) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/uevent", major(device),
                minor(device));
  return ReadSmallFile(path, text);
}

}  // namespace ksv
