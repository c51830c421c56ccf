// KSVHidWatch against virtual modules in the test guest: what is present arrives first, add/remove
// cycles give two events each in order, other devices give none, a held module arrives held,
// Close ends a waiting Next, and nothing is left open. With --latency N, a measurement instead:
// the time from a hidraw node's creation to its "arrived" event, over N modules. --usb-cycles runs
// the checks once more with USB modules (gadgets; the other devices are uhid-only and left out),
// --usb measures the latency with them.
//   watch_guest PATH-TO-ksv-virtual-module [--cycles N] [--usb-cycles N] [--latency N [--usb]]
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KSVHidWatch.h"
#include "checks.h"
#include "virtual_module_process.h"

namespace ksv::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kModule = "module:vid=0x17fe,pid=0x82cd,silent,serial=";
constexpr const char* kKeyboard = "keyboard:vid=0x17fe,pid=0x0001,serial=";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) {
      ++n;
    }
    closedir(dir);
  }
  return n;
}

// "+SERIAL" / "-SERIAL", with "!" when it arrived held; "" when no event came.
std::string NextText(KSVHidWatchHandle w, int timeout_ms) {
  KSVHidWatchEvent e{};
  if (KSVHidWatchNext(w, timeout_ms, &e) != 1) {
    return "";
  }
  return std::string(e.kind == KSVHID_WATCH_ARRIVED ? "+" : "-") + e.serial +
         (e.free == KSVHID_WATCH_HELD ? "!" : "");
}

void Expect(VirtualModuleProcess& vm, const std::string& command, const std::string& answer) {
  vm.Send(command);
  const auto line = vm.Line();
  if (!line || line->rfind(answer, 0) != 0) {
    throw std::runtime_error(command + ": " + line.value_or("(no answer)"));
  }
}

// A process of its own that holds a hidraw node as a walk holds a module (flock), until killed.
pid_t HoldInOtherProcess(const std::string& node) {
  int ready[2];
  if (pipe(ready) != 0) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(node.c_str(), O_RDWR);
    const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    static_cast<void>(write(ready[1], &ok, 1));
    pause();
    _exit(0);
  }
  char ok = '0';
  static_cast<void>(read(ready[0], &ok, 1));
  close(ready[0]);
  close(ready[1]);
  return ok == '1' ? pid : -1;
}

void Behaviour(const std::string& tool, bool usb, int cycles) {
  std::vector<std::string> arguments = {std::string(kModule) + "PRESENT-1",
                                        "module:vid=0x10c4,pid=0x82cd,silent,serial=PRESENT-2"};
  arguments.insert(usb ? arguments.begin() : arguments.end(),
                   usb ? "--usb" : std::string(kKeyboard) + "KB-PRESENT");
  VirtualModuleProcess vm(tool, arguments);
  const auto nodes = vm.WaitReady();
  const pid_t holder = HoldInOtherProcess(nodes.at("PRESENT-2"));
  KSV_CHECK_MSG(holder > 0, "another process holds PRESENT-2");
  const int descriptors = OpenDescriptors();

  KSVHidWatchHandle w = nullptr;
  KSV_CHECK_EQ(KSVHidWatchOpen(4, &w), KSVHID_WATCH_BAD_MODE);
  KSV_CHECK_EQ(KSVHidWatchOpen(0, &w), 1);
  std::printf("method: %s\n", KSVHidWatchMethod(w));
  KSV_CHECK_MSG(std::strcmp(KSVHidWatchMethod(w), "netlink") == 0, "kernel events");
  std::vector<std::string> present = {NextText(w, 2000), NextText(w, 2000)};
  std::sort(present.begin(), present.end());
  KSV_CHECK_MSG(present == (std::vector<std::string>{"+PRESENT-1", "+PRESENT-2!"}),
                "present modules first, the held one held: " + present[0] + " " + present[1]);
  auto start = Clock::now();
  KSV_CHECK_MSG(NextText(w, 300).empty(), "no event for the keyboard");
  const long long waited = MsSince(start);
  KSV_CHECK_MSG(waited >= 250 && waited < 3000, "a 300 ms wait took " + std::to_string(waited));

  // Cycles made while nobody asks: every arrival and departure still comes, in order, once.
  start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    const std::string serial = "W-" + std::to_string(i);
    Expect(vm, "add " + std::string(kModule) + serial, "added " + serial);
    if (!usb && i % 10 == 0) {
      Expect(vm, "add " + std::string(kKeyboard) + "KB-" + serial, "added KB-" + serial);
      Expect(vm, "remove KB-" + serial, "removed KB-" + serial);
    }
    Expect(vm, "remove " + serial, "removed " + serial);
  }
  std::printf("%d add/remove cycles made in %lld ms\n", cycles, MsSince(start));
  std::string expected, got;
  for (int i = 0; i < cycles; ++i) {
    expected += " +W-" + std::to_string(i) + " -W-" + std::to_string(i);
  }
  int events = 0;
  for (std::string e; events < 2 * cycles && !(e = NextText(w, 5000)).empty(); ++events) {
    got += " " + e;
  }
  KSV_CHECK_EQ(events, 2 * cycles);
  KSV_CHECK_MSG(got == expected, "events in order:" + got.substr(0, 200));
  KSV_CHECK_MSG(NextText(w, 200).empty(), "no event beyond the cycles");

  // Close from another thread ends a Next that waits without a limit.
  int result = 1;
  std::thread waiter([&] {
    KSVHidWatchEvent e{};
    result = KSVHidWatchNext(w, -1, &e);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  start = Clock::now();
  KSV_CHECK_EQ(KSVHidWatchClose(w), 1);
  waiter.join();
  KSV_CHECK_EQ(result, KSVHID_WATCH_CLOSED);
  KSV_CHECK_MSG(MsSince(start) < 2000, "Close returned at once");
  KSVHidWatchEvent e{};
  KSV_CHECK_EQ(KSVHidWatchNext(w, 0, &e), KSVHID_WATCH_CLOSED);
  KSV_CHECK_EQ(KSVHidWatchClose(w), 0);
  KSV_CHECK_EQ(OpenDescriptors(), descriptors);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  KSV_CHECK_EQ(vm.EndInput(), 0);  // removes the modules: USB gadgets outlive a killed program
}

// Node creation (inotify on /dev) to the arrival, for `count` modules; printed, not checked.
void Latency(const std::string& tool, bool usb, int count) {
  VirtualModuleProcess vm(tool,
                          usb ? std::vector<std::string>{"--usb"} : std::vector<std::string>{});
  vm.WaitReady();
  KSVHidWatchHandle w = nullptr;
  KSVHidWatchOpen(0, &w);
  const ksv::tool::UniqueFd dev(inotify_init1(IN_CLOEXEC));
  inotify_add_watch(dev.get(), "/dev", IN_CREATE);
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    const std::string serial = "L-" + std::to_string(i);
    vm.Send("add " + std::string(kModule) + serial);
    char buffer[4096];
    Clock::time_point created{};
    for (bool seen = false; !seen;) {
      const ssize_t n = read(dev.get(), buffer, sizeof buffer);
      created = Clock::now();
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        seen = seen || std::strncmp(event->name, "hidraw", 6) == 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    KSVHidWatchEvent e{};
    if (KSVHidWatchNext(w, 5000, &e) == 1) {
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - created).count());
    }
    vm.Line();
    Expect(vm, "remove " + serial, "removed " + serial);
    KSVHidWatchNext(w, 5000, &e);
  }
  KSVHidWatchClose(w);
  vm.EndInput();
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    std::printf("node to event: %zu arrivals, min %.2f ms, median %.2f ms, max %.2f ms\n",
                ms.size(), ms.front(), ms[ms.size() / 2], ms.back());
  }
}

}  // namespace
}  // namespace ksv::test

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s PATH-TO-ksv-virtual-module [--cycles N] [--usb-cycles N] [--latency N "
                 "[--usb]]\n",
                 argv[0]);
    return 2;
  }
  int cycles = 100;
  int usb_cycles = 0;
  int latency = 0;
  bool usb = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--usb") == 0) {
      usb = true;
    } else if (i + 1 < argc) {
      const std::string name = argv[i];
      (name == "--latency"      ? latency
       : name == "--usb-cycles" ? usb_cycles
                                : cycles) = std::atoi(argv[++i]);
    }
  }
  try {
    if (latency > 0) {
      ksv::test::Latency(argv[1], usb, latency);
      return 0;
    }
    ksv::test::Behaviour(argv[1], false, cycles);
    if (usb_cycles > 0) {
      ksv::test::Behaviour(argv[1], true, usb_cycles);
    }
  } catch (const std::exception& e) {
    KSV_CHECK_MSG(false, std::string("exception: ") + e.what());
  }
  return ksv::test::Finish("watch_guest");
}
