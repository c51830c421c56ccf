// Record and replay against virtual modules: a fixed script of walks, opens, exchanges, a reopen
// and closes, run through the recorder library over the bed's modules, then against the simulator
// library replaying that recording. Both runs must give the same results, the same reply bytes
// and the same counts and names, and each reply must come as long after its command as the
// recording says (within kDelayToleranceMs). A copy of the recording with one command changed
// must give -1 at that exchange, with one line on standard error naming the step.
//
//   record_replay --print-devices                    the bed's modules ($KSV_DEVICE_BED)
//   record_replay run LIBRARY TRANSCRIPT [--stop-at SERIAL K] [--wine]
//       runs the script through LIBRARY (loaded by path) and writes one line per call; with
//       --stop-at, stops after the K-th exchange with SERIAL and expects it to get no reply
//   record_replay compare RECORDED REPLAYED RECORDING
//       the replayed transcript against the recorded one and the recording's steps
//   record_replay check RECORDER SIMULATOR           (Linux) all of the above, each run a process
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "checks.h"
#include "export_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using Payload = std::array<char, 63>;
using ksv::tool::ExportTable;

// A replayed reply may come this much earlier or later than the recording says. Under TCG the
// guest's timers are coarse, but a reply's wait is measured on one side of the library in both
// runs, so 50 ms holds with room.
constexpr double kDelayToleranceMs = 50;
constexpr int kRounds = 150;

enum class Kind { kInvert, kDelayed, kShort, kReportId2, kSilent, kLeaves, kKeyboard };

constexpr unsigned kUhid = 1, kUsb1 = 2;

struct Module {
  const char* serial;  // also ksv-virtual-module's id
  const char* description;
  Kind kind;
  std::uint16_t vendor;
  unsigned beds;
};

constexpr std::uint8_t kDelayedMask = 0x5A;
constexpr int kDelayMs = 100;  // well past the tolerance: a delay left out or doubled shows

// In creation order. The USB bed has at most 4 modules.
const Module kModules[] = {
    {"RR-KBD", "keyboard:vid=0x046d,pid=0xc31c,serial=RR-KBD,id=RR-KBD", Kind::kKeyboard, 0x046D,
     kUhid},
    {"RR-INV", "module:vid=0x17fe,pid=0x82cd,serial=RR-INV,xor=0xff,id=RR-INV", Kind::kInvert,
     0x17FE, kUhid | kUsb1},
    {"RR-SLOW", "module:vid=0x10c4,pid=0x82cd,serial=RR-SLOW,xor=0x5a,delay=100,id=RR-SLOW",
     Kind::kDelayed, 0x10C4, kUhid | kUsb1},
    {"RR-SHORT", "module:vid=0x17fe,pid=0x82cd,serial=RR-SHORT,short=10,input-size=9,id=RR-SHORT",
     Kind::kShort, 0x17FE, kUhid | kUsb1},
    {"RR-ID2", "module:vid=0x10c4,pid=0x82cd,serial=RR-ID2,reply-id=2,id=RR-ID2", Kind::kReportId2,
     0x10C4, kUhid},
    {"RR-QUIET", "module:vid=0x17fe,pid=0x82cd,serial=RR-QUIET,silent,id=RR-QUIET", Kind::kSilent,
     0x17FE, kUhid},
    {"RR-GONE", "module:vid=0x10c4,pid=0x82cd,serial=RR-GONE,remove-after-output,id=RR-GONE",
     Kind::kLeaves, 0x10C4, kUhid | kUsb1},
};

unsigned Bed() {
  const char* bed = std::getenv("KSV_DEVICE_BED");
  if (bed == nullptr || std::strcmp(bed, "uhid") == 0) {
    return kUhid;
  }
  return std::strcmp(bed, "usb1") == 0 ? kUsb1 : 0;
}

std::vector<const Module*> BedModules() {
  std::vector<const Module*> out;
  for (const Module& m : kModules) {
    if ((m.beds & Bed()) != 0) {
      out.push_back(&m);
    }
  }
  return out;
}

std::string Hex(const char* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

// The n-th command: a first byte that varies like an opcode, a varying length (the rest zeros)
// and varying bytes.
Payload Command(unsigned n) {
  Payload p{};
  p[0] = static_cast<char>(0x10 + n % 7);
  const unsigned length = 1 + (n * 13) % 62;
  std::uint32_t x = n * 2654435761u + 1;
  for (unsigned i = 1; i <= length; ++i) {
    x = x * 1103515245u + 12345u;
    p[i] = static_cast<char>(x >> 16);
  }
  return p;
}

struct Stopped {};

// One run of the script: every call's result goes into the transcript, one line each; what the
// modules are known to answer is checked as it goes.
class Script {
 public:
  // `wine`: as Wine runs the DLL, where opens are not exclusive (an open module is still listed)
  // and each walk takes about 2 s: the script walks only in mode 0 and with nothing open. The
  // module that leaves is left alone: Wine ends a read on a uhid device that leaves with nothing
  // delivered (-16), which a recording has no step for.
  Script(const ExportTable& api, std::string stop_serial, int stop_at, bool wine)
      : api_(api), stop_serial_(std::move(stop_serial)), stop_at_(stop_at), wine_(wine) {}

  // Waits until the system lists every module of the bed (Wine takes seconds to list devices that
  // exist before it starts); not part of the transcript, since the replay lists them at once.
  void WaitForModules() {
    const auto want = static_cast<int>(ExpectedNames(0).size());
    const auto deadline = Clock::now() + std::chrono::seconds(240);
    api_.SetModuleMode(0);
    while (api_.GetKestrovanHIDnumber() != want && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  void Run() {
    int major = 0, minor = 0, build = 0;
    const int version = api_.GetKestrovanHIDversion(&major, &minor, &build);
    Line("version " + std::to_string(version) + " " + std::to_string(major) + "." +
         std::to_string(minor) + "." + std::to_string(build));
    for (int mode = wine_ ? 0 : 3; mode >= 0; --mode) {
      Line("mode " + std::to_string(mode) + " " + std::to_string(api_.SetModuleMode(mode)));
      Walk(ExpectedNames(mode));
    }
    OpenExpect("RR-NONE", 0);
    std::vector<std::pair<const Module*, KSVHidHandle>> open;
    std::vector<std::string> left;  // what the last walk lists
    for (const Module* m : BedModules()) {
      if (wine_ && m->kind == Kind::kLeaves) {
        left.emplace_back(m->serial);  // left alone: see Script
      } else if (m->kind != Kind::kKeyboard) {
        open.emplace_back(m, OpenExpect(m->serial, 1));
      }
    }
    if (!wine_) {
      Walk({});  // an open module is held: no walk sees it
    }
    const auto handle = [&](Kind kind) -> std::pair<const Module*, KSVHidHandle>* {
      for (auto& entry : open) {
        if (entry.first->kind == kind) {
          return &entry;
        }
      }
      return nullptr;
    };
    auto* invert = handle(Kind::kInvert);
    if (!wine_) {
      OpenExpect(invert->first->serial, 0);
    }
    unsigned n = 0;
    for (int round = 0; round < kRounds; ++round) {
      Exchange(*invert, Command(n++), 0);
      if (auto* id2 = handle(Kind::kReportId2); id2 != nullptr && round % 3 == 0) {
        Exchange(*id2, Command(n++), 0);
      }
      if (auto* slow = handle(Kind::kDelayed); slow != nullptr && round % 10 == 2) {
        Exchange(*slow, Command(n++), 0);
      }
      if (auto* cut = handle(Kind::kShort); cut != nullptr && round % 4 == 1) {
        Exchange(*cut, Command(n++), 0);
        if (round % 8 == 5) {  // any length is taken in mode 1
          Line("mode 1 " + std::to_string(api_.SetModuleMode(1)));
          Exchange(*cut, Command(n++), 1);
          Line("mode 0 " + std::to_string(api_.SetModuleMode(0)));
        }
      }
      if (round == 40) {  // a reopen: the module's conversation goes on
        Line("close " + std::string(invert->first->serial) + " " +
             std::to_string(api_.CloseKestrovanHID(invert->second)));
        if (!wine_) {
          Walk({invert->first->serial});
        }
        invert->second = OpenExpect(invert->first->serial, 1);
      }
      if (auto* gone = handle(Kind::kLeaves); gone != nullptr && round == 75) {
        Exchange(*gone, Command(n++), 0);  // it leaves during the read
        Exchange(*gone, Command(n++), 0);
        Line("close " + std::string(gone->first->serial) + " " +
             std::to_string(api_.CloseKestrovanHID(gone->second)));
        if (!wine_) {
          WaitForCount(0);  // the system takes a moment to see it gone
          OpenExpect(gone->first->serial, 0);
        }
      }
      if (auto* quiet = handle(Kind::kSilent); quiet != nullptr && round == 100) {
        Exchange(*quiet, Command(n++), 0);
      }
    }
    for (auto& [m, h] : open) {
      Line("close " + std::string(m->serial) + " " + std::to_string(api_.CloseKestrovanHID(h)));
      if (m->kind != Kind::kLeaves) {
        left.emplace_back(m->serial);
      }
    }
    Line("close null " + std::to_string(api_.CloseKestrovanHID(nullptr)));
    Walk(left);
  }

  const std::vector<std::string>& lines() const { return lines_; }
  int exchanges() const { return exchanges_; }

 private:
  void Line(const std::string& line) { lines_.push_back(line); }

  // The names the bed's modules give in `mode`.
  static std::vector<std::string> ExpectedNames(int mode) {
    std::vector<std::string> names;
    for (const Module* m : BedModules()) {
      const bool taken =
          m->kind != Kind::kKeyboard &&
          (mode == 0 || (mode == 2 && m->vendor == 0x17FE) || (mode == 3 && m->vendor == 0x10C4));
      if (taken) {
        names.emplace_back(m->serial);
      }
    }
    return names;
  }

  // Counts and names the modules; the names must be `expected`, in any order.
  void Walk(std::vector<std::string> expected) {
    const int count = api_.GetKestrovanHIDnumber();
    Line("count " + std::to_string(count));
    KSV_CHECK_EQ(count, static_cast<int>(expected.size()));
    std::vector<std::string> names;
    for (int ordinal = 0; ordinal <= count; ++ordinal) {
      char text[KSVHID_SERIAL_BUFFER_BYTES] = {};
      const int named = api_.GetKestrovanHIDName(ordinal, text);
      Line("name " + std::to_string(ordinal) + " " + std::to_string(named) + " " +
           (named == 1 ? text : "-"));
      if (named == 1) {
        names.emplace_back(text);
      }
    }
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    KSV_CHECK_MSG(names == expected, "names of a walk");
  }

  void WaitForCount(int want) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    int count = api_.GetKestrovanHIDnumber();
    while (count != want && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      count = api_.GetKestrovanHIDnumber();
    }
    Line("count " + std::to_string(count));
    KSV_CHECK_EQ(count, want);
  }

  KSVHidHandle OpenExpect(const char* serial, int expected) {
    KSVHidHandle h = nullptr;
    const int opened = api_.OpenKestrovanHID(&h, serial);
    Line("open " + std::string(serial) + " " + std::to_string(opened));
    KSV_CHECK_MSG(opened == expected, std::string("open ") + serial);
    return opened == 1 ? h : nullptr;
  }

  void Exchange(std::pair<const Module*, KSVHidHandle>& target, const Payload& command, int mode) {
    const Module& m = *target.first;
    Payload reply;
    reply.fill(0x66);
    const auto start = Clock::now();
    const int result = api_.SendReceiveKestrovanHID(target.second, command.data(), reply.data());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ++exchanges_;
    char rtt[32];
    std::snprintf(rtt, sizeof rtt, " rtt=%.3f", ms);
    Line("exchange " + std::string(m.serial) + " " + Hex(command.data(), command.size()) + " " +
         std::to_string(result) + " " + Hex(reply.data(), reply.size()) + rtt);
    const int nth = ++per_module_[m.serial];
    const bool stop = m.serial == stop_serial_ && nth == stop_at_;
    const std::string what = "exchange " + std::to_string(nth) + " with " + m.serial;
    Payload want = command;
    int want_result = 1;
    std::size_t compared = want.size();
    if (stop) {
      want_result = -1;  // the changed step: no reply
      want.fill(0x66);
    } else {
      switch (m.kind) {
        case Kind::kInvert:
        case Kind::kDelayed:
          for (char& c : want) {
            c = static_cast<char>(c ^ (m.kind == Kind::kInvert ? 0xFF : kDelayedMask));
          }
          KSV_CHECK_MSG(m.kind == Kind::kInvert || ms >= kDelayMs - 5, what + ": delay");
          break;
        case Kind::kShort:
          want_result = mode == 1 ? 1 : -16;
          compared = 9;  // the reply's payload; what follows it is the library's
          break;
        case Kind::kReportId2:
          want_result = 0;
          break;
        case Kind::kSilent:
          want_result = -1;
          want.fill(0x66);
          KSV_CHECK_MSG(ms > 1900, what + ": the wait");
          break;
        case Kind::kLeaves:
        case Kind::kKeyboard:
          want_result = -255;
          want.fill(0x66);
          break;
      }
    }
    KSV_CHECK_MSG(result == want_result, what + ": result " + std::to_string(result));
    KSV_CHECK_MSG(std::equal(want.begin(), want.begin() + compared, reply.begin()),
                  what + ": reply");
    if (stop) {
      throw Stopped{};
    }
  }

  const ExportTable& api_;
  const std::string stop_serial_;
  const int stop_at_;
  const bool wine_;
  std::vector<std::string> lines_;
  std::map<std::string, int> per_module_;
  int exchanges_ = 0;
};

int RunMode(const std::string& library, const std::string& transcript,
            const std::string& stop_serial, int stop_at, bool wine) {
  std::string error;
  auto loaded = ksv::tool::LoadedLibrary::Load(library, error);
  if (!loaded) {
    std::printf("FAILED: %s\n", error.c_str());
    return 1;
  }
  Script script(loaded->exports(), stop_serial, stop_at, wine);
  const auto start = Clock::now();
  bool stopped = false;
  script.WaitForModules();
  const auto listed = Clock::now();
  try {
    script.Run();
  } catch (const Stopped&) {
    stopped = true;
  }
  KSV_CHECK_MSG(stopped == !stop_serial.empty(), "the run stops where it was asked to");
  std::ofstream out(transcript, std::ios::binary);
  for (const std::string& line : script.lines()) {
    out << line << '\n';
  }
  out.close();
  KSV_CHECK_MSG(!out.fail(), "transcript written: " + transcript);
  std::printf("%s: modules listed after %.1f s; %d exchanges, %zu calls in %.1f s\n",
              library.c_str(), std::chrono::duration<double>(listed - start).count(),
              script.exchanges(), script.lines().size(),
              std::chrono::duration<double>(Clock::now() - listed).count());
  return ksv::test::Finish("record_replay run");
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

// A line of a transcript without its time.
std::string Untimed(const std::string& line) { return line.substr(0, line.find(" rtt=")); }

// The fields of an exchange line: serial, command, result, reply, rtt.
struct ExchangeLine {
  std::string serial, command, reply;
  int result = 0;
  double rtt_ms = 0;
};

bool ParseExchange(const std::string& line, ExchangeLine& out) {
  std::istringstream in(line);
  std::string word, rtt;
  if (!(in >> word >> out.serial >> out.command >> out.result >> out.reply >> rtt) ||
      word != "exchange" || rtt.rfind("rtt=", 0) != 0) {
    return false;
  }
  out.rtt_ms = std::atof(rtt.c_str() + 4);
  return true;
}

// The value of "key": "..." or "key": N on a recording's line; empty when absent.
std::string Field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  const auto at = line.find(tag);
  if (at == std::string::npos) {
    return {};
  }
  std::size_t begin = at + tag.size();
  if (line[begin] == '"') {
    ++begin;
    return line.substr(begin, line.find('"', begin) - begin);
  }
  const auto end = line.find_first_of(",}", begin);
  return line.substr(begin, end - begin);
}

struct Recording {
  std::vector<std::string> serials;  // per interface; "null" when unreadable
  std::vector<std::string> lines;    // the whole file
  std::vector<std::size_t> steps;    // the steps' line numbers
};

Recording ReadRecording(const std::string& path) {
  Recording r;
  r.lines = ReadLines(path);
  for (std::size_t i = 0; i < r.lines.size(); ++i) {
    const std::string& line = r.lines[i];
    if (line.find("\"vendor\": ") != std::string::npos) {
      const std::string serial = Field(line, "serial");
      r.serials.push_back(serial.empty() ? "null" : serial);
    } else if (line.rfind("{\"module\": ", 0) == 0) {
      r.steps.push_back(i);
    }
  }
  return r;
}

// The command as a step writes it: its trailing zeros left out (one byte at least).
std::string Trimmed(std::string hex) {
  while (hex.size() > 2 && hex.compare(hex.size() - 2, 2, "00") == 0) {
    hex.resize(hex.size() - 2);
  }
  return hex;
}

int CompareMode(const std::string& recorded_path, const std::string& replayed_path,
                const std::string& recording_path) {
  const auto recorded = ReadLines(recorded_path);
  const auto replayed = ReadLines(replayed_path);
  const Recording recording = ReadRecording(recording_path);
  KSV_CHECK_EQ(replayed.size(), recorded.size());
  int differences = 0;
  for (std::size_t i = 0; i < std::min(recorded.size(), replayed.size()); ++i) {
    if (Untimed(recorded[i]) != Untimed(replayed[i]) && ++differences <= 5) {
      KSV_CHECK_MSG(false, "call " + std::to_string(i + 1) + ": recorded " + recorded[i] +
                               ", replayed " + replayed[i]);
    }
  }
  KSV_CHECK_EQ(differences, 0);

  // Each exchange against the recording's steps, in order: the step names its module and
  // command; a reply is the one the exchange got, and came as long after the command in both runs.
  std::size_t step = 0;
  int exchanges = 0, replies = 0;
  double worst = 0;
  for (std::size_t i = 0; i < std::min(recorded.size(), replayed.size()); ++i) {
    ExchangeLine was, now;
    if (!ParseExchange(recorded[i], was)) {
      continue;
    }
    KSV_CHECK_MSG(ParseExchange(replayed[i], now), replayed[i]);
    ++exchanges;
    const std::string where = "call " + std::to_string(i + 1);
    if (step == recording.steps.size()) {
      KSV_CHECK_MSG(false, where + ": no step left");
      break;
    }
    const std::string& line = recording.lines[recording.steps[step]];
    const std::size_t module = std::strtoul(Field(line, "module").c_str(), nullptr, 10);
    const bool same = module < recording.serials.size() &&
                      recording.serials[module] == was.serial &&
                      Field(line, "command") == Trimmed(was.command);
    if (was.result == -255 && (!same || Field(line, "leaves") != "true")) {
      continue;  // an exchange on a handle whose module has left may end before its write
    }
    ++step;
    KSV_CHECK_MSG(same, where + " against the step " + line);
    if (was.result == -1 || was.result == -255) {
      KSV_CHECK_MSG(Field(line, was.result == -1 ? "silent" : "leaves") == "true",
                    where + ": " + line);
      continue;
    }
    ++replies;
    const std::string reply = Field(line, "reply");
    // The step holds the input report, its ID first; the exchange's reply its payload.
    KSV_CHECK_MSG(reply.size() >= 2 && was.reply.compare(0, reply.size() - 2, reply, 2) == 0,
                  where + ": reply of " + line);
    const double delay = std::atof(Field(line, "delay_ms").c_str());
    KSV_CHECK_MSG(delay <= was.rtt_ms + 1, where + ": the recorded delay is within the exchange");
    worst = std::max(worst, std::fabs(now.rtt_ms - delay));
    KSV_CHECK_MSG(std::fabs(now.rtt_ms - delay) <= kDelayToleranceMs,
                  where + ": replayed after " + std::to_string(now.rtt_ms) + " ms, recorded " +
                      std::to_string(delay) + " ms");
  }
  for (; step < recording.steps.size(); ++step) {
    // Only a departure may be left over: a write on a handle whose module has left.
    KSV_CHECK_MSG(Field(recording.lines[recording.steps[step]], "leaves") == "true",
                  "a step no exchange met: " + recording.lines[recording.steps[step]]);
  }
  std::printf(
      "compared %zu calls, %d exchanges, %zu steps, %d replies; the largest difference "
      "between a recorded and a replayed delay: %.1f ms\n",
      recorded.size(), exchanges, recording.steps.size(), replies, worst);
  KSV_CHECK(exchanges >= 200);
  return ksv::test::Finish("record_replay compare");
}

#ifndef _WIN32

// Runs this program with `args`, the variable `name` set to `value`, standard error into
// `error_file` when one is given; gives its exit status.
int RunSelf(const std::vector<std::string>& args, const char* name, const std::string& value,
            const std::string& error_file = {}) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    unsetenv("KSVHID_RECORD");
    unsetenv("KSVHID_SIMULATION");
    setenv(name, value.c_str(), 1);
    if (!error_file.empty()) {
      const int fd = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || dup2(fd, 2) < 0) {
        _exit(98);
      }
    }
    std::vector<char*> argv{const_cast<char*>("record_replay")};
    for (const std::string& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(99);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The recording with the command of `serial`'s k-th step changed in its first byte; gives the
// module's place in the recording and the two values of that byte.
bool ChangeStep(const std::string& from, const std::string& to, const std::string& serial, int k,
                std::size_t& module, std::string& sent, std::string& changed) {
  Recording r = ReadRecording(from);
  const auto it = std::find(r.serials.begin(), r.serials.end(), serial);
  if (it == r.serials.end()) {
    return false;
  }
  module = static_cast<std::size_t>(it - r.serials.begin());
  int seen = 0;
  for (const std::size_t line : r.steps) {
    if (Field(r.lines[line], "module") == std::to_string(module) && ++seen == k) {
      std::string& text = r.lines[line];
      const std::size_t at = text.find("\"command\": \"") + 12;
      sent = text.substr(at, 2);
      char flipped[3];
      std::snprintf(flipped, sizeof flipped, "%02x",
                    static_cast<unsigned>(std::strtoul(sent.c_str(), nullptr, 16) ^ 0x80));
      changed = flipped;
      text.replace(at, 2, changed);
      std::ofstream out(to, std::ios::binary);
      for (const std::string& l : r.lines) {
        out << l << '\n';
      }
      return static_cast<bool>(out);
    }
  }
  return false;
}

int CheckMode(const std::string& recorder, const std::string& simulator) {
  char dir_template[] = "/tmp/ksv-record-replay-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string recording = dir + "/recording.json", recorded = dir + "/recorded.txt",
                    replayed = dir + "/replayed.txt", changed = dir + "/changed.json",
                    stopped = dir + "/stopped.txt", stopped_err = dir + "/stopped.err",
                    replay_err = dir + "/replay.err";
  std::printf("=== the script through the recorder: %s\n", recorder.c_str());
  KSV_CHECK_EQ(RunSelf({"run", recorder, recorded}, "KSVHID_RECORD", recording), 0);
  const Recording r = ReadRecording(recording);
  std::printf("recording: %zu interfaces, %zu steps\n", r.serials.size(), r.steps.size());

  std::printf("=== the same script against the simulator with the recording\n");
  KSV_CHECK_EQ(RunSelf({"run", simulator, replayed}, "KSVHID_SIMULATION", recording, replay_err),
               0);
  KSV_CHECK_MSG(ReadLines(replay_err).empty(), "the replay says nothing on standard error");
  KSV_CHECK_EQ(RunSelf({"compare", recorded, replayed, recording}, "KSVHID_SIMULATION", ""), 0);

  // One command changed in the recording: the module's 60th step, after its reopen.
  constexpr int kChangedStep = 60;
  std::size_t module = 0;
  std::string sent, step_byte;
  KSV_CHECK(ChangeStep(recording, changed, "RR-INV", kChangedStep, module, sent, step_byte));
  std::printf("=== step %d of RR-INV (module %zu) changed: its command byte 0 is 0x%s, was 0x%s\n",
              kChangedStep, module, step_byte.c_str(), sent.c_str());
  KSV_CHECK_EQ(
      RunSelf({"run", simulator, stopped, "--stop-at", "RR-INV", std::to_string(kChangedStep)},
              "KSVHID_SIMULATION", changed, stopped_err),
      0);
  const auto before = ReadLines(recorded);
  const auto after = ReadLines(stopped);
  KSV_CHECK(!after.empty() && after.size() <= before.size());
  for (std::size_t i = 0; i + 1 < after.size() && i < before.size(); ++i) {
    KSV_CHECK_MSG(Untimed(after[i]) == Untimed(before[i]), "call " + std::to_string(i + 1));
  }
  const auto errors = ReadLines(stopped_err);
  for (const std::string& line : errors) {
    std::printf("standard error: %s\n", line.c_str());
  }
  const std::string k = std::to_string(kChangedStep);
  const std::string want = "KSVHidApi simulator: sim:modules[" + std::to_string(module) +
                           "]: command " + k + " does not match step " + k +
                           ": command byte 0 is 0x" + sent + ", the step has 0x" + step_byte +
                           "; no reply";
  KSV_CHECK_EQ(errors.size(), 1u);
  KSV_CHECK_MSG(!errors.empty() && errors[0] == want, "expected: " + want);
  return ksv::test::Finish("record_replay check");
}

#endif

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--print-devices") {
    for (const Module* m : BedModules()) {
      std::printf("%s\n", m->description);
    }
    return 0;
  }
  if (args.size() >= 3 && args[0] == "run") {
    std::string stop_serial;
    int stop_at = 0;
    bool wine = false;
    for (std::size_t i = 3; i < args.size(); ++i) {
      if (args[i] == "--stop-at" && i + 2 < args.size()) {
        stop_serial = args[++i];
        stop_at = std::atoi(args[++i].c_str());
      } else if (args[i] == "--wine") {
        wine = true;
      } else {
        std::fprintf(stderr, "record_replay run: unknown option %s\n", args[i].c_str());
        return 2;
      }
    }
    return RunMode(args[1], args[2], stop_serial, stop_at, wine);
  }
  if (args.size() == 4 && args[0] == "compare") {
    return CompareMode(args[1], args[2], args[3]);
  }
#ifndef _WIN32
  if (args.size() == 3 && args[0] == "check") {
    return CheckMode(args[1], args[2]);
  }
#endif
  std::fprintf(stderr,
               "usage: record_replay --print-devices | run LIBRARY TRANSCRIPT [--stop-at SERIAL K]"
               " [--wine]"
               " | compare RECORDED REPLAYED RECORDING | check RECORDER SIMULATOR\n");
  return 2;
}
