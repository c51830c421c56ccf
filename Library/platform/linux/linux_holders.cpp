#include "platform/linux/linux_holders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/linux/linux_files.h"

namespace ksv {
namespace {

// The kernel hands out a page per read whatever the buffer; a larger one would not save reads.
constexpr std::size_t kLocksChunk = 4096;

}  // namespace

bool FlockHolders::Read() {
  held_.clear();
  const Fd fd(open(kLocksFile, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return false;
  }
  std::array<char, kLocksChunk> chunk;
  std::size_t kept = 0;  // bytes of an unfinished line at the start of `chunk`
  try {
    for (;;) {
      const ssize_t got = read(fd.get(), chunk.data() + kept, chunk.size() - kept);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        held_.clear();
        return false;
      }
      const std::size_t filled = kept + static_cast<std::size_t>(got);
      std::size_t line = 0;
      for (std::size_t i = 0; i < filled; ++i) {
        if (chunk[i] != '\n' && !(got == 0 && i + 1 == filled)) {
          continue;
        }
        const std::size_t end = chunk[i] == '\n' ? i : i + 1;
        if (const std::optional<FlockHolder> holder =
                ParseFlockLine(chunk.data() + line, end - line)) {
          held_.push_back(*holder);
        }
        line = i + 1;
      }
      if (got == 0) {
        return true;
      }
      // A line longer than the chunk is no lock line of interest: it is dropped.
      kept = line == 0 && filled == chunk.size() ? 0 : filled - line;
      std::memmove(chunk.data(), chunk.data() + filled - kept, kept);
    }
  } catch (const std::bad_alloc&) {
    held_.clear();
    return false;
  }
}

std::optional<long long> FlockHolders::HolderOf(dev_t device, ino_t inode) const {
  for (const FlockHolder& holder : held_) {
    if (holder.device_major == major(device) && holder.device_minor == minor(device) &&
        holder.inode == inode) {
      return holder.pid;
    }
  }
  return std::nullopt;
}

int OpenExclusive(const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return -errno;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? -EBUSY : -error;
  }
  return fd;
}

}  // namespace ksv
