// Who holds a hidraw node. The library's exclusive opens take a flock() lock on the node (hidraw
// itself allows any number of opens), and so does any program that locks a node the same way;
// /proc/locks lists those locks with the node's file system device and inode.
//
// /proc/locks lists every lock of the machine, other programs' record locks on their own files
// included, and the kernel produces it a page per read, walking its lock list again from the start
// for each page: one pass costs more than linear time in the number of locks. It is read once per
// look, and a look is taken only when a decision needs it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "platform/linux/uevent.h"

namespace ksv {

// The flock() locks held at one moment.
class FlockHolders {
 public:
  // Reads /proc/locks once, whole; false when it cannot be read.
  bool Read();
  // Whether a flock() lock is held on the file (device, inode): its holder's process ID (0 when
  // the system does not say), or nothing when none is held.
  std::optional<long long> HolderOf(dev_t device, ino_t inode) const;

 private:
  std::vector<FlockHolder> held_;
};

// Opens a hidraw node for exclusive use: its descriptor, or minus the errno of the refusal. A node
// locked by another holder is refused with EBUSY, as Windows refuses a sharing violation.
int OpenExclusive(const char* path);

}  // namespace ksv
