// KSVHidWatch.dll under Wine in the test guest, while tests/wine-guest/watch-in-guest.sh adds and
// removes modules: the present module arrives first, then each cycle's module arrives and leaves,
// in order. Names the way the watch learns of changes.
//   watch_wine.exe READY_FILE CYCLES [WAIT_SECONDS]
// READY_FILE is made once the present module has arrived: the cue for the script to begin.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KSVHidWatch.h"
#include "checks.h"

namespace {

// "+SERIAL" or "-SERIAL"; "" when nothing came within the limit.
std::string NextText(KSVHidWatchHandle w, int timeout_ms) {
  KSVHidWatchEvent e{};
  const int result = KSVHidWatchNext(w, timeout_ms, &e);
  if (result != 1) {
    return result == 0 ? "" : "(result " + std::to_string(result) + ")";
  }
  return std::string(e.kind == KSVHID_WATCH_ARRIVED ? "+" : "-") + e.serial;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: watch_wine.exe READY_FILE CYCLES [WAIT_SECONDS]\n");
    return 2;
  }
  const int cycles = std::atoi(argv[2]);
  const int wait_ms = (argc > 3 ? std::atoi(argv[3]) : 240) * 1000;
  KSVHidWatchHandle w = nullptr;
  KSV_CHECK_EQ(KSVHidWatchOpen(0, &w), 1);
  if (w == nullptr) {
    return ksv::test::Finish("watch_wine");
  }
  std::printf("watch method: %s\n", KSVHidWatchMethod(w));
  // Wine lists the modules some time after it starts.
  const DWORD start = GetTickCount();
  const std::string present = NextText(w, wait_ms);
  std::printf("present module after %lu ms: %s\n", GetTickCount() - start, present.c_str());
  KSV_CHECK_MSG(present == "+PRESENT-1", "the present module arrives first: " + present);
  const HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  KSV_CHECK(ready != INVALID_HANDLE_VALUE);
  CloseHandle(ready);

  std::string expected, got;
  int events = 0;
  for (; events < 2 * cycles; ++events) {
    const std::string e = NextText(w, 60000);
    if (e.empty()) {
      break;
    }
    got += " " + e;
    expected += (events % 2 == 0 ? " +W-" : " -W-") + std::to_string(events / 2);
  }
  std::printf("%d cycles: %d events in %lu ms\n", cycles, events, GetTickCount() - start);
  KSV_CHECK_EQ(events, 2 * cycles);
  KSV_CHECK_MSG(got == expected, "in order:" + got.substr(0, 300));
  KSV_CHECK_MSG(NextText(w, 1000).empty(), "no event beyond the cycles");
  KSV_CHECK_EQ(KSVHidWatchClose(w), 1);
  return ksv::test::Finish("watch_wine");
}
