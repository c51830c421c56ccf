// What walks touch, over libKSVHidApi.so and real hidraw nodes (run by with-modules.sh in the
// test guest): counting and naming open no /dev/hidraw* node, opening by serial number opens
// exactly one, and processes that open and close their own modules are never refused while other
// processes count in a loop. Opens are seen through inotify, which reports every open of a
// watched node by any process.
#include <dirent.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KSVHidApi.h"
#include "checks.h"

namespace {

constexpr int kOpeners = 2;         // processes that open and close their own module
constexpr int kRounds = 500;        // opens each
constexpr int kCounters = 2;        // processes that count meanwhile
constexpr int kMostReported = 255;  // an exit status holds no more
constexpr std::size_t kEventBytes = 4096;

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
  return ksv::test::Finish("walk_check");
}
