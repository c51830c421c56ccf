// What walks touch, over libKSVHidApi.so and real hidraw nodes (run by with-modules.sh in the
// test guest): counting and naming open no /dev/hidraw* node, opening by serial number opens
// exactly one, and processes that open and close their own modules are never refused while other
// processes count in a loop. Opens are seen through inotify, which reports every open of a
// watched node by any process.
//
// Then, beside another process that holds many record locks (so /proc/locks is long), a walk reads
// /proc/locks at most once, and not at all when no node carries the current mode's IDs. Its reads
// are counted by the shim that the test preloads (proc_locks_opens.cpp).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KSVHidApi.h"
#include "checks.h"
#include "foreign_record_locks.h"

namespace {

constexpr int kOpeners = 2;         // processes that open and close their own module
constexpr int kRounds = 500;        // opens each
constexpr int kCounters = 2;        // processes that count meanwhile
constexpr int kMostReported = 255;  // an exit status holds no more
constexpr std::size_t kEventBytes = 4096;

constexpr int kForeignLocks = 20000;
constexpr char kLocksFile[] = "/proc/locks";
constexpr char kOpensCounter[] = "ksv_proc_locks_opens";  // the preloaded shim's
// Mode 1's IDs; on the uhid bed only the device with the id LEN carries them, so with it off the
// bus no node carries a module's IDs in that mode.
constexpr int kSparseMode = 1;
constexpr char kSparseModeIds[] = ":000017FE:00008200";  // the end of a HID_ID line
constexpr char kSparseModeDevice[] = "LEN";
constexpr char kSparseModeText[] = "KSV-LENIENT";
constexpr int kGoneWaitSteps = 100;  // of 50 ms

// Watches every hidraw node for opens; the inotify descriptor.
int WatchHidrawOpens() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (DIR* dir = opendir("/dev")) {
    while (const dirent* e = readdir(dir)) {
      if (std::strncmp(e->d_name, "hidraw", 6) == 0) {
        const std::string path = std::string("/dev/") + e->d_name;
        KSV_CHECK_MSG(inotify_add_watch(fd, path.c_str(), IN_OPEN) >= 0, path);
      }
    }
    closedir(dir);
  }
  return fd;
}

// The opens seen since the last call.
int OpensSeen(int fd) {
  alignas(inotify_event) char events[kEventBytes];
  int opens = 0;
  for (;;) {
    const ssize_t got = read(fd, events, sizeof events);
    if (got <= 0) {
      return opens;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      opens += (event->mask & IN_OPEN) != 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// Opens and closes the module `serial` kRounds times; the number of opens that failed.
int OpenAndCloseAgainAndAgain(const std::string& serial) {
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    KSVHidHandle h = nullptr;
    if (OpenKestrovanHID(&h, serial.c_str()) != 1) {
      ++failed;
      continue;
    }
    CloseKestrovanHID(h);
  }
  return failed;
}

using OpensCounter = long (*)();

// The lines of /proc/locks that are POSIX record locks.
int RecordLockLines() {
  std::ifstream locks(kLocksFile);
  int n = 0;
  for (std::string line; std::getline(locks, line);) {
    n += line.find(" POSIX ") != std::string::npos;
  }
  return n;
}

// Whether a hidraw node's HID device carries these IDs (the end of its uevent's HID_ID line, after
// the bus).
bool NodeCarries(const std::string& ids) {
  bool found = false;
  if (DIR* dir = opendir("/sys/class/hidraw")) {
    while (const dirent* e = readdir(dir)) {
      std::ifstream uevent(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
      for (std::string line; !found && std::getline(uevent, line);) {
        found = line.rfind("HID_ID=", 0) == 0 && line.size() > ids.size() &&
                line.compare(line.size() - ids.size(), ids.size(), ids) == 0;
      }
    }
    closedir(dir);
  }
  return found;
}

// Takes a device off the bus through ksv-virtual-module's control FIFO.
bool Unplug(const char* id) {
  const char* fifo_path = std::getenv("KSV_MODULE_CONTROL");
  const int fifo = fifo_path != nullptr ? open(fifo_path, O_WRONLY | O_CLOEXEC) : -1;
  if (fifo < 0) {
    return false;
  }
  const std::string line = std::string("unplug ") + id + "\n";
  const bool written = write(fifo, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fifo);
  return written;
}

// The opens of /proc/locks that `walk` makes, and that it is at most `most`.
template <typename Walk>
void CheckLocksOpens(OpensCounter opens, long most, const std::string& what, Walk&& walk) {
  const long before = opens();
  walk();
  const long made = opens() - before;
  KSV_CHECK_MSG(made <= most, what + ": " + std::to_string(made) + " opens of /proc/locks");
}

void CheckLocksReads(const std::vector<std::string>& serials) {
  // What the walks must still give, taken before the locks.
  SetModuleMode(0);
  const int count = GetKestrovanHIDnumber();
  char last[256] = {};
  KSV_CHECK_EQ(GetKestrovanHIDName(count - 1, last), 1);

  const auto opens = reinterpret_cast<OpensCounter>(dlsym(RTLD_DEFAULT, kOpensCounter));
  KSV_CHECK_MSG(opens != nullptr, "the /proc/locks counter is not preloaded");
  if (opens == nullptr) {
    return;
  }
  // The counter sees this program's own open and fopen.
  const long before = opens();
  close(open(kLocksFile, O_RDONLY | O_CLOEXEC));
  if (FILE* file = std::fopen(kLocksFile, "r")) {
    std::fclose(file);
  }
  KSV_CHECK_EQ(opens() - before, 2);

  const ksv::test::ForeignRecordLocks locks(kForeignLocks);
  KSV_CHECK(locks.held());
  KSV_CHECK(RecordLockLines() >= kForeignLocks);
  CheckLocksOpens(opens, 1, "count", [&] { KSV_CHECK_EQ(GetKestrovanHIDnumber(), count); });
  CheckLocksOpens(opens, 1, "name of the last ordinal", [&] {
    char serial[256] = {};
    KSV_CHECK_EQ(GetKestrovanHIDName(count - 1, serial), 1);
    KSV_CHECK_MSG(std::strcmp(serial, last) == 0, serial);
  });
  for (const std::string& text : serials) {
    KSVHidHandle h = nullptr;
    CheckLocksOpens(opens, 1, "open " + text,
                    [&] { KSV_CHECK_MSG(OpenKestrovanHID(&h, text.c_str()) == 1, text); });
    CloseKestrovanHID(h);
  }

  // No node carries a module's IDs: nothing to hold, so no reason to read the holders.
  KSV_CHECK(Unplug(kSparseModeDevice));
  for (int step = 0; step < kGoneWaitSteps && NodeCarries(kSparseModeIds); ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  KSV_CHECK(!NodeCarries(kSparseModeIds));
  SetModuleMode(kSparseMode);
  CheckLocksOpens(opens, 0, "count without modules",
                  [] { KSV_CHECK_EQ(GetKestrovanHIDnumber(), 0); });
  CheckLocksOpens(opens, 0, "name without modules", [] {
    char serial[256] = {};
    KSV_CHECK_EQ(GetKestrovanHIDName(0, serial), 0);
  });
  CheckLocksOpens(opens, 0, "open without modules", [] {
    KSVHidHandle h = nullptr;
    KSV_CHECK_EQ(OpenKestrovanHID(&h, kSparseModeText), 0);
  });
  SetModuleMode(0);
}

}  // namespace

int main() {
  const int watch = WatchHidrawOpens();
  const int count = GetKestrovanHIDnumber();
  std::vector<std::string> serials;
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    char serial[256] = {};
    if (GetKestrovanHIDName(ordinal, serial) == 1) {
      serials.emplace_back(serial);
    }
  }
  KSV_CHECK(serials.size() >= static_cast<std::size_t>(kOpeners));
  KSV_CHECK_EQ(OpensSeen(watch), 0);  // a count and every name: no node opened

  KSVHidHandle h = nullptr;
  KSV_CHECK_EQ(OpenKestrovanHID(&h, serials.empty() ? "" : serials.back().c_str()), 1);
  KSV_CHECK_EQ(OpensSeen(watch), 1);  // the module handed out, and nothing else
  KSV_CHECK_EQ(CloseKestrovanHID(h), 1);
  close(watch);

  std::vector<pid_t> counters;
  for (int w = 0; w < kCounters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (;;) {
        GetKestrovanHIDnumber();
      }
    }
    counters.push_back(pid);
  }
  std::vector<pid_t> openers;
  for (int p = 0; p < kOpeners && static_cast<std::size_t>(p) < serials.size(); ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int failed = OpenAndCloseAgainAndAgain(serials[static_cast<std::size_t>(p)]);
      _exit(failed < kMostReported ? failed : kMostReported);
    }
    openers.push_back(pid);
  }
  for (const pid_t pid : openers) {
    int status = 0;
    waitpid(pid, &status, 0);
    KSV_CHECK(WIFEXITED(status));
    KSV_CHECK_EQ(WEXITSTATUS(status), 0);  // opens refused of the opener's own free module
  }
  for (const pid_t pid : counters) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  CheckLocksReads(serials);
  return ksv::test::Finish("walk_check");
}
