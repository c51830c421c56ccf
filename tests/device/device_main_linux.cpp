// The device suite over libKSVHidApi.so (`--soak SECONDS`: the soak on its bed instead). Also
// counts the process's open descriptors before and after, so that anything the library leaves open
// shows.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_suite.h"

namespace {

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(dir)) {
      count += e->d_name[0] != '.';
    }
    closedir(dir);
  }
  return count;
}

// Runs this program again as "--try-open SERIAL": its exit status is the open's result.
int OpenInAnotherProcess(const char* serial) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "device_suite", "--try-open", serial, static_cast<char*>(nullptr));
    _exit(99);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A handle carries its descriptor + 1 in its low 32 bits. The file takes the lowest free
// descriptor, which is the closed handle's.
bool WithDescriptorReused(KSVHidHandle closed, const std::function<void()>& act) {
  const int descriptor =
      static_cast<int>(reinterpret_cast<std::uintptr_t>(closed) & 0xFFFFFFFFu) - 1;
  char path[] = "/tmp/ksv-stale-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) {
    return false;
  }
  unlink(path);
  act();
  struct stat st {};
  const bool open = fstat(file, &st) == 0;
  std::printf("stale handle: descriptor %d, file on %d, %s, %lld bytes\n", descriptor, file,
              open ? "open" : "closed", static_cast<long long>(st.st_size));
  close(file);
  return file == descriptor && open && st.st_size == 0;
}

// Sends ksv-virtual-module a command about one module through its control FIFO: "unplug" takes the
// module off the bus, "plug" puts it back.
bool Control(const char* verb, const char* id) {
  const int fifo = open(ksv::test::ControlChannel(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fifo < 0) {
    return false;
  }
  const std::string line = std::string(verb) + " " + id + "\n";
  const bool written = write(fifo, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fifo);
  return written;
}

const ksv::test::Exports kApi = ksv::tool::LinkedExports();

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--print-devices") == 0) {
    ksv::test::PrintDevices();
    return 0;
  }
  if (argc > 2 && std::strcmp(argv[1], "--try-open") == 0) {
    KSVHidHandle h = nullptr;
    return OpenKestrovanHID(&h, argv[2]);  // the process ends: the descriptor goes with it
  }
  const int descriptors_before = OpenDescriptors();
  ksv::test::Options options;
  options.bed = ksv::test::BedFromEnvironment();
  if (*ksv::test::ControlChannel() != '\0') {
    options.unplug = [](const char* id) { return Control("unplug", id); };
    options.plug = [](const char* id) { return Control("plug", id); };
  }
  options.second_process_open = OpenInAnotherProcess;
  options.with_descriptor_reused = WithDescriptorReused;
  if (!ksv::test::WaitForModules(kApi, options, 10)) {
    return ksv::test::Finish("device_suite (linux)");
  }
  if (argc > 2 && std::strcmp(argv[1], "--soak") == 0) {
    ksv::test::Soak(kApi, options, std::atoi(argv[2]));
    return ksv::test::Finish("device_suite (linux) soak");
  }
  ksv::test::RunScenarios(kApi, options);
  std::printf("round trip: median %.3f ms\n", ksv::test::MedianRoundTripMs(kApi, 200));
  const int descriptors_after = OpenDescriptors();
  std::printf("open descriptors: %d before, %d after\n", descriptors_before, descriptors_after);
  KSV_CHECK_EQ(descriptors_after, descriptors_before);
  return ksv::test::Finish("device_suite (linux)");
}
