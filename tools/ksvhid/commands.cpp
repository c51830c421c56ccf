#include "commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#define KSVHID_ISATTY _isatty
#define KSVHID_FILENO _fileno
#else
#include <unistd.h>
#define KSVHID_ISATTY isatty
#define KSVHID_FILENO fileno
#endif

#include "text.h"

namespace ksv::tool {
namespace {

constexpr int kSerialBufferBytes = KSVHID_SERIAL_BUFFER_BYTES;
constexpr std::size_t kCommandBytes = KSVHID_COMMAND_BYTES;
constexpr std::size_t kReplyBytes = KSVHID_REPLY_BYTES;

// A module opened through a table, closed through the same table when it goes out of scope.
class OpenModule {
 public:
  OpenModule(const ModuleApi& api, KSVHidHandle handle) : api_(api), handle_(handle) {}
  ~OpenModule() { api_.calls.CloseKestrovanHID(handle_); }
  OpenModule(const OpenModule&) = delete;
  OpenModule& operator=(const OpenModule&) = delete;
  KSVHidHandle get() const { return handle_; }

 private:
  const ModuleApi& api_;
  KSVHidHandle handle_;
};

// Selects the mode the command asked for; the process starts in mode 0.
bool ApplyMode(const ModuleApi& api, const Options& options) {
  return !options.mode || api.calls.SetModuleMode(*options.mode) == 1;
}

int ModeOf(const Options& options) { return options.mode.value_or(0); }

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

// "exchange 12 of 100", rewritten in place on a terminal, about ten times a second. Elsewhere
// (a pipe, a log) only the final line is written, once.
class Progress {
 public:
  explicit Progress(long long total)
      : total_(total), on_terminal_(KSVHID_ISATTY(KSVHID_FILENO(stderr)) != 0) {}

  void Update(long long done) {
    const auto now = std::chrono::steady_clock::now();
    if (on_terminal_ && now - last_ >= std::chrono::milliseconds(100)) {
      last_ = now;
      std::fprintf(stderr, "\rexchange %lld of %lld", done, total_);
      std::fflush(stderr);
    }
  }

  void Finish(long long done) {
    std::fprintf(stderr, "%sexchanges done: %lld of %lld\n", on_terminal_ ? "\r" : "", done,
                 total_);
  }

 private:
  long long total_;
  bool on_terminal_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

int Fail(int status, const std::string& message) {
  std::cerr << "ksvhid: " << message << '\n';
  return status;
}

int RunList(const ModuleApi& api, const Options& options) {
  if (!ApplyMode(api, options)) {
    return Fail(kExitUsage, "the library refused module mode " + std::to_string(ModeOf(options)));
  }
  struct Entry {
    int ordinal;
    std::optional<std::string> serial;  // nothing: the serial number could not be read
  };
  const int count = api.calls.GetKestrovanHIDnumber();
  std::vector<Entry> entries;
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    std::array<char, kSerialBufferBytes> serial{};
    Entry entry{ordinal, std::nullopt};
    if (api.calls.GetKestrovanHIDName(ordinal, serial.data()) == 1) {
      entry.serial = std::string(serial.data());
    }
    entries.push_back(entry);
  }

  std::ostringstream out;
  if (options.json) {
    out << "{\"mode\":" << ModeOf(options) << ",\"count\":" << count << ",\"modules\":[";
    for (const Entry& entry : entries) {
      out << (entry.ordinal == 0 ? "" : ",") << "{\"ordinal\":" << entry.ordinal;
      if (entry.serial) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry.serial->data());
        out << ",\"serial\":" << JsonString(EscapeSerial(*entry.serial)) << ",\"serial_hex\":\""
            << HexString(bytes, entry.serial->size()) << "\"}";
      } else {
        out << ",\"serial\":null,\"serial_hex\":null}";
      }
    }
    out << "]}\n";
  } else {
    out << count << (count == 1 ? " module" : " modules") << " (mode " << ModeOf(options) << ")\n";
    for (const Entry& entry : entries) {
      out << "  " << entry.ordinal << "  "
          << (entry.serial ? EscapeSerial(*entry.serial) : "(serial number unreadable)") << '\n';
    }
  }
  std::cout << out.str() << std::flush;
  return kExitSuccess;
}

int RunSend(const ModuleApi& api, const Options& options) {
  if (!ApplyMode(api, options)) {
    return Fail(kExitUsage, "the library refused module mode " + std::to_string(ModeOf(options)));
  }
  KSVHidHandle handle = nullptr;
  if (api.calls.OpenKestrovanHID(&handle, options.serial.c_str()) != 1) {
    return Fail(kExitFailed, "cannot open module \"" + EscapeSerial(options.serial) +
                                 "\" in mode " + std::to_string(ModeOf(options)) +
                                 ": no such module, or another program holds it open");
  }
  const OpenModule module(api, handle);

  std::array<char, kCommandBytes> command{};
  std::copy(options.command_bytes.begin(), options.command_bytes.end(), command.begin());
  std::array<char, kReplyBytes> reply{};
  std::map<int, long long> results;
  std::vector<double> times_ms;
  int last = 0;
  Progress progress(options.repeat);
  for (long long i = 0; i < options.repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    last = api.calls.SendReceiveKestrovanHID(module.get(), command.data(), reply.data());
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    times_ms.push_back(elapsed.count());
    ++results[last];
    if (options.repeat > 1) {
      progress.Update(i + 1);
    }
  }
  if (options.repeat > 1) {
    progress.Finish(options.repeat);
  }
  const std::optional<RoundTrips> trips = Summarise(times_ms);
  const bool all_accepted = std::all_of(
      results.begin(), results.end(), [](const auto& entry) { return ReplyAccepted(entry.first); });
  const auto* reply_bytes = reinterpret_cast<const std::uint8_t*>(reply.data());
  const auto* command_bytes = reinterpret_cast<const std::uint8_t*>(command.data());

  std::ostringstream out;
  if (options.json) {
    out << "{\"serial\":" << JsonString(EscapeSerial(options.serial)) << ",\"serial_hex\":\""
        << HexString(reinterpret_cast<const std::uint8_t*>(options.serial.data()),
                     options.serial.size())
        << "\",\"mode\":" << ModeOf(options) << ",\"command\":\""
        << HexString(command_bytes, command.size()) << "\",\"exchanges\":" << options.repeat
        << ",\"result\":" << last << ",\"result_name\":" << JsonString(ResultName(last))
        << ",\"reply\":";
    if (ReplyWritten(last)) {
      out << '"' << HexString(reply_bytes, reply.size()) << '"';
    } else {
      out << "null";
    }
    out << ",\"results\":{";
    for (auto it = results.begin(); it != results.end(); ++it) {
      out << (it == results.begin() ? "" : ",") << "\"" << it->first << "\":" << it->second;
    }
    out << "},\"round_trip_ms\":{\"min\":" << Milliseconds(trips->min_ms)
        << ",\"median\":" << Milliseconds(trips->median_ms)
        << ",\"max\":" << Milliseconds(trips->max_ms) << "}}\n";
  } else {
    out << "module " << EscapeSerial(options.serial) << " (mode " << ModeOf(options) << ")\n";
    if (options.repeat > 1) {
      out << "exchanges: " << options.repeat << '\n';
      for (const auto& [result, n] : results) {
        out << "  " << n << " x " << result << ' ' << ResultName(result) << '\n';
      }
      out << "round trip: min " << Milliseconds(trips->min_ms) << " ms, median "
          << Milliseconds(trips->median_ms) << " ms, max " << Milliseconds(trips->max_ms)
          << " ms\n";
      out << "last ";
    }
    out << "result: " << last << ' ' << ResultName(last) << '\n';
    if (ReplyWritten(last)) {
      out << (options.repeat > 1 ? "last reply" : "reply") << " (63 bytes):\n"
          << HexDump(reply_bytes, reply.size());
    } else {
      out << "no reply\n";
    }
  }
  std::cout << out.str() << std::flush;
  return all_accepted ? kExitSuccess : kExitFailed;
}

int RunVersion(const ModuleApi& api) {
  int major = 0;
  int minor = 0;
  int build = 0;
  api.calls.GetKestrovanHIDversion(&major, &minor, &build);
  std::cout << "KSVHidApi " << major << '.' << minor << '.' << build << '\n'
            << "library: " << api.location << '\n'
            << std::flush;
  return kExitSuccess;
}

}  // namespace ksv::tool
