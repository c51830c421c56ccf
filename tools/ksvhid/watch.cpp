#include "watch.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "KSVHidWatch.h"
#include "commands.h"
#include "text.h"

namespace ksv::tool {
namespace {

// How often the loop looks whether it was interrupted.
constexpr int kWaitSliceMs = 250;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// UTC with milliseconds: 2026-12-08T17:04:35.123Z.
std::string TimeText(std::chrono::system_clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds =
      static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
  return text;
}

const char* FreeText(int free) {
  return free == KSVHID_WATCH_FREE ? "free" : free == KSVHID_WATCH_HELD ? "held" : "unknown";
}

}  // namespace

std::string WatchEventText(const KSVHidWatchEvent& event, const std::string& time, bool json) {
  const char* kind = event.kind == KSVHID_WATCH_ARRIVED ? "arrived" : "left";
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", event.vendor_id, event.product_id);
  std::ostringstream out;
  if (json) {
    out << "{\"time\":\"" << time << "\",\"kind\":\"" << kind
        << "\",\"vendor_id\":" << event.vendor_id << ",\"product_id\":" << event.product_id
        << ",\"serial\":" << JsonString(EscapeSerial(event.serial)) << ",\"free\":\""
        << FreeText(event.free) << "\"}";
  } else {
    out << time << "  " << kind << (event.kind == KSVHID_WATCH_ARRIVED ? "  " : "     ") << ids
        << "  " << FreeText(event.free) << "  " << EscapeSerial(event.serial);
  }
  return out.str();
}

int RunWatch(const Options& options) {
  KSVHidWatchHandle watch = nullptr;
  const int opened = KSVHidWatchOpen(options.mode.value_or(0), &watch);
  if (opened != 1) {
    return Fail(kExitFailed, "cannot watch for modules (" + std::to_string(opened) + ")");
  }
  if (!options.json) {
    std::cout << "watching for modules in mode " << options.mode.value_or(0) << " ("
              << KSVHidWatchMethod(watch) << "); interrupt to end" << std::endl;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  int result = 0;
  KSVHidWatchEvent event{};
  while (g_interrupted == 0) {
    result = KSVHidWatchNext(watch, kWaitSliceMs, &event);
    if (result < 0) {
      break;
    }
    if (result == 1) {
      std::cout << WatchEventText(event, TimeText(std::chrono::system_clock::now()), options.json)
                << std::endl;
    }
  }
  KSVHidWatchClose(watch);
  return result < 0 ? Fail(kExitFailed, "the watch failed (" + std::to_string(result) + ")")
                    : kExitSuccess;
}

}  // namespace ksv::tool
