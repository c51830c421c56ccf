// The library against real (virtual) HID devices, through its seven exports.
//
// One scenario table, two realisations: built for Linux it calls libKSVHidApi.so over hidraw;
// cross-built for Windows it loads KSVHidApi.dll with LoadLibraryA and runs under Wine, whose HID
// stack sits on the same hidraw nodes. The devices are made by ksv-virtual-module from the table
// below (`device_suite --print-devices` prints its arguments for the bed of $KSV_DEVICE_BED),
// before the suite starts: uhid devices, or USB modules in one of two sets. A scenario whose
// devices the bed lacks is skipped with the reason.
//
//   device_suite --print-devices
//   device_suite [--wait-seconds N]
#include "device_suite.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace ksv::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kXorA = 0x5A;
constexpr std::uint8_t kXorSlow = 0x33;
constexpr std::uint8_t kXorLate = 0x0F;

enum class Answer {
  kEcho,        // report ID 1, payload XOR mask
  kReplyId2,    // report ID 2, payload echoed
  kReplyId3,    // report ID 3, payload echoed
  kShort,       // report ID 1, 10 bytes in all
  kIgnoreOnce,  // first output report unanswered, then echo
  kGone,        // removed on the next output report
  kNone,        // a keyboard: never answers
  kNeverTakes,  // never takes an output report off the bus (USB: writes block once 4 are queued)
};

struct TestDevice {
  const char* id;
  const char* description;  // ksv-virtual-module device description
  std::uint16_t vendor;
  std::uint16_t product;
  const char* text;  // the serial number text the library gives (low bytes of the units)
  Answer answer;
  std::uint8_t xor_mask;
  unsigned beds = kBedUhid;  // where it exists (see Bed)
};

constexpr unsigned kUhidUsb1 = kBedUhid | kBedUsb1;
constexpr unsigned kUhidUsb2 = kBedUhid | kBedUsb2;

// In creation order, which is hidraw order on Linux.
const TestDevice kDevices[] = {
    {"kbd", "keyboard:vid=0x046d,pid=0xc31c,serial=KBD1,id=kbd", 0x046D, 0xC31C, "KBD1",
     Answer::kNone, 0},
    {"A", "module:vid=0x17fe,pid=0x82cd,serial=KSV-A,xor=0x5a,late-marker=0xe7,id=A", 0x17FE,
     0x82CD, "KSV-A", Answer::kEcho, kXorA, kUhidUsb1},
    {"B", "module:vid=0x10c4,pid=0x82cd,serial=KSV-B,reply-id=2,late-marker=0xe7,id=B", 0x10C4,
     0x82CD, "KSV-B", Answer::kReplyId2, 0, kUhidUsb1},
    {"ID3", "module:vid=0x17fe,pid=0x82cd,serial=KSV-ID3,reply-id=3,late-marker=0xe7,id=ID3",
     0x17FE, 0x82CD, "KSV-ID3", Answer::kReplyId3, 0, kUhidUsb1},
    {"SHORT", "module:vid=0x10c4,pid=0x82cd,serial=KSV-SHORT,input-size=9,short=10,id=SHORT",
     0x10C4, 0x82CD, "KSV-SHORT", Answer::kShort, 0, kUhidUsb2},
    {"LEN", "module:vid=0x17fe,pid=0x8200,serial=KSV-LENIENT,id=LEN", 0x17FE, 0x8200, "KSV-LENIENT",
     Answer::kEcho, 0},
    {"QUIET", "module:vid=0x17fe,pid=0x82cd,serial=KSV-QUIET,ignore=1,id=QUIET", 0x17FE, 0x82CD,
     "KSV-QUIET", Answer::kIgnoreOnce, 0, kUhidUsb2},
    {"SLOW", "module:vid=0x10c4,pid=0x82cd,serial=KSV-SLOW,xor=0x33,delay=300,id=SLOW", 0x10C4,
     0x82CD, "KSV-SLOW", Answer::kEcho, kXorSlow},
    // Its first answer comes 2500 ms after the command, later ones at once.
    {"LATE",
     "module:vid=0x17fe,pid=0x82cd,serial=KSV-LATE,xor=0x0f,delay=2500,delay-first=1,"
     "late-marker=0xe7,id=LATE",
     0x17FE, 0x82CD, "KSV-LATE", Answer::kEcho, kXorLate},
    {"LUK", "module:vid=0x17fe,pid=0x82cd,serial=\xC5\x81UK,late-marker=0xe7,id=LUK", 0x17FE,
     0x82CD, "AUK", Answer::kEcho, 0, kUhidUsb1},
    // Wine puts the serial number into the device path: a path that only opens in UTF-16.
    {"L1", "module:vid=0x10c4,pid=0x82cd,serial=KSV-\xC5\x81-1,xor=0x5a,late-marker=0xe7,id=L1",
     0x10C4, 0x82CD, "KSV-A-1", Answer::kEcho, kXorA},
    {"DUP1", "module:vid=0x17fe,pid=0x82cd,serial=KSV-DUP,id=DUP1", 0x17FE, 0x82CD, "KSV-DUP",
     Answer::kEcho, 0},
    {"DUP2", "module:vid=0x10c4,pid=0x82cd,serial=KSV-DUP,reply-id=2,id=DUP2", 0x10C4, 0x82CD,
     "KSV-DUP", Answer::kReplyId2, 0},
    {"X", "module:vid=0x10c4,pid=0x8200,serial=KSV-X,id=X", 0x10C4, 0x8200, "KSV-X", Answer::kEcho,
     0},
    // No unique ID at all: its serial number cannot be read (text nullptr).
    {"NOSER", "module:vid=0x17fe,pid=0x82cd,serial=,id=NOSER", 0x17FE, 0x82CD, nullptr,
     Answer::kEcho, 0},
    {"GONE", "module:vid=0x10c4,pid=0x82cd,serial=KSV-GONE,remove-after-output,id=GONE", 0x10C4,
     0x82CD, "KSV-GONE", Answer::kGone, 0, kUhidUsb2},
    // uhid takes every output report at once, so only a USB module can leave a write blocked.
    {"STALL", "module:vid=0x17fe,pid=0x82cd,serial=KSV-STALL,never-take,id=STALL", 0x17FE, 0x82CD,
     "KSV-STALL", Answer::kNeverTakes, 0, kBedUsb2},
    // The soak's four USB modules, each with its own mask.
    {"S1", "module:vid=0x17fe,pid=0x82cd,serial=KSV-S1,xor=0xff,late-marker=0xe7,id=S1", 0x17FE,
     0x82CD, "KSV-S1", Answer::kEcho, 0xFF, kBedSoak},
    {"S2", "module:vid=0x10c4,pid=0x82cd,serial=KSV-S2,xor=0xa5,late-marker=0xe7,id=S2", 0x10C4,
     0x82CD, "KSV-S2", Answer::kEcho, 0xA5, kBedSoak},
    {"S3", "module:vid=0x17fe,pid=0x82cd,serial=KSV-S3,xor=0x3c,late-marker=0xe7,id=S3", 0x17FE,
     0x82CD, "KSV-S3", Answer::kEcho, 0x3C, kBedSoak},
    {"S4", "module:vid=0x10c4,pid=0x82cd,serial=KSV-S4,xor=0x96,late-marker=0xe7,id=S4", 0x10C4,
     0x82CD, "KSV-S4", Answer::kEcho, 0x96, kBedSoak},
};

// Modules with late-marker=0xe7 answer a command that starts with the marker after the delay its
// next two bytes give (milliseconds, big-endian), or never for 0xFFFF.
constexpr std::uint8_t kLateMarker = 0xE7;
constexpr int kDropped = 0xFFFF;

bool IsModule(const TestDevice& d, int mode) { return IsModuleIds(d.vendor, d.product, mode); }

// Whether the device exists on the bed the suite runs on.
bool Reachable(const TestDevice& d, const Options& options) { return (d.beds & options.bed) != 0; }

// The text the library gives for the device's serial number; null when it cannot be read.
const char* TextOf(const TestDevice& d, const Options& options) {
  return d.text != nullptr ? d.text : options.absent_serial_text;
}

std::vector<const TestDevice*> ModulesOf(int mode, const Options& options,
                                         bool include_gone = true) {
  std::vector<const TestDevice*> out;
  for (const TestDevice& d : kDevices) {
    if (IsModule(d, mode) && Reachable(d, options) && (include_gone || d.answer != Answer::kGone)) {
      out.push_back(&d);
    }
  }
  return out;
}

using Payload = std::array<char, 63>;

Payload Pattern(std::uint8_t seed) {
  Payload p{};
  for (std::size_t i = 0; i < p.size(); ++i) {
    p[i] = static_cast<char>(seed + i * 7);
  }
  return p;
}

Payload Transformed(const Payload& command, std::uint8_t mask) {
  Payload p{};
  for (std::size_t i = 0; i < p.size(); ++i) {
    p[i] = static_cast<char>(static_cast<std::uint8_t>(command[i]) ^ mask);
  }
  return p;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Opens a module by its text in the given mode; null when that fails.
KSVHidHandle Open(const Exports& api, const char* text) {
  KSVHidHandle h = nullptr;
  return api.OpenKestrovanHID(&h, text) == 1 ? h : nullptr;
}

// --- Scenarios ---------------------------------------------------------------------------

void CountsAndNames(const Exports& api, const Options& options) {
  for (int mode = 0; mode <= 3; ++mode) {
    KSV_CHECK_EQ(api.SetModuleMode(mode), 1);
    const auto expected = ModulesOf(mode, options);
    const int count = api.GetKestrovanHIDnumber();
    KSV_CHECK_EQ(count, static_cast<int>(expected.size()));

    std::vector<std::string> names;
    for (int ordinal = 0; ordinal < count; ++ordinal) {
      char text[256];
      std::memset(text, 0x7E, sizeof text);
      // A module without a serial number holds its ordinal but cannot be named.
      if (api.GetKestrovanHIDName(ordinal, text) == 1) {
        names.emplace_back(text);
      } else {
        names.emplace_back("<unreadable>");
      }
    }
    char untouched[256];
    std::memset(untouched, 0x7E, sizeof untouched);
    KSV_CHECK_EQ(api.GetKestrovanHIDName(count, untouched), 0);
    KSV_CHECK_EQ(api.GetKestrovanHIDName(-1, untouched), 0);
    KSV_CHECK(
        std::all_of(std::begin(untouched), std::end(untouched), [](char c) { return c == 0x7E; }));

    std::vector<std::string> want;
    for (const TestDevice* d : expected) {
      const char* text = TextOf(*d, options);
      want.emplace_back(text != nullptr ? text : "<unreadable>");
    }
    if (options.walk_order_is_creation_order) {
      KSV_CHECK(names == want);
    } else {
      std::sort(names.begin(), names.end());
      std::sort(want.begin(), want.end());
      KSV_CHECK(names == want);
    }
  }
  api.SetModuleMode(0);
}

void OpenBySerialInEachMode(const Exports& api, const Options& options) {
  for (int mode = 0; mode <= 3; ++mode) {
    KSV_CHECK_EQ(api.SetModuleMode(mode), 1);
    for (const TestDevice& d : kDevices) {
      const char* text = TextOf(d, options);
      if (d.answer == Answer::kGone || text == nullptr || std::strcmp(text, "KSV-DUP") == 0 ||
          !Reachable(d, options)) {
        continue;
      }
      KSVHidHandle h = Open(api, text);
      if (IsModule(d, mode)) {
        KSV_CHECK_MSG(h != nullptr, d.id);
        KSV_CHECK_EQ(api.CloseKestrovanHID(h), 1);
      } else {
        KSV_CHECK_MSG(h == nullptr, d.id);
      }
    }
  }
  KSVHidHandle sentinel = reinterpret_cast<KSVHidHandle>(static_cast<std::uintptr_t>(0x5A5A));
  KSVHidHandle out = sentinel;
  KSV_CHECK_EQ(api.SetModuleMode(0), 1);
  KSV_CHECK_EQ(api.OpenKestrovanHID(&out, "KSV-a"), 0);       // case matters
  KSV_CHECK_EQ(api.OpenKestrovanHID(&out, "KSV-"), 0);        // a prefix is not a match
  KSV_CHECK_EQ(api.OpenKestrovanHID(&out, "\xC5\x81UK"), 0);  // the text is narrowed, not UTF-8
  KSV_CHECK_EQ(api.OpenKestrovanHID(&out, ""), 0);  // no serial number is not an empty one
  KSV_CHECK(out == sentinel);
}

void Exclusivity(const Exports& api, const Options& options) {
  if (!options.exclusive_opens) {
    std::printf("SKIPPED exclusivity: this platform does not enforce exclusive opens (Wine)\n");
    return;
  }
  api.SetModuleMode(0);
  const int before = api.GetKestrovanHIDnumber();
  KSVHidHandle a = Open(api, "KSV-A");
  KSV_CHECK(a != nullptr);
  KSV_CHECK_EQ(api.GetKestrovanHIDnumber(), before - 1);
  KSV_CHECK(Open(api, "KSV-A") == nullptr);
  if (options.second_process_open) {
    KSV_CHECK_EQ(options.second_process_open("KSV-A"), 0);
  }
  KSV_CHECK_EQ(api.CloseKestrovanHID(a), 1);
  KSV_CHECK_EQ(api.GetKestrovanHIDnumber(), before);
  if (options.second_process_open) {
    KSV_CHECK_EQ(options.second_process_open("KSV-A"), 1);  // free again
  }
}

// Exchanges and their result codes; the mode is changed with the handle open, since it is read
// when the reply is classified.
void Exchanges(const Exports& api) {
  api.SetModuleMode(0);
  const Payload command = Pattern(0x11);
  Payload reply{};

  if (KSVHidHandle a = Open(api, "KSV-A")) {
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(a, command.data(), reply.data()), 1);
    KSV_CHECK(reply == Transformed(command, kXorA));
    // Many in a row: no stale replies, every one its own.
    for (std::uint8_t i = 0; i < 20; ++i) {
      const Payload c = Pattern(i);
      KSV_CHECK_EQ(api.SendReceiveKestrovanHID(a, c.data(), reply.data()), 1);
      KSV_CHECK(reply == Transformed(c, kXorA));
    }
    api.CloseKestrovanHID(a);
  } else {
    KSV_CHECK_MSG(false, "open KSV-A");
  }
}

// Replies with report IDs 2 and 3: delivered whatever the classification.
void ReportIds(const Exports& api) {
  api.SetModuleMode(0);
  const Payload command = Pattern(0x11);
  Payload reply{};
  KSVHidHandle b = Open(api, "KSV-B");
  KSV_CHECK_MSG(b != nullptr, "open KSV-B");
  if (b != nullptr) {
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(b, command.data(), reply.data()), 0);
    KSV_CHECK(reply == command);
    api.CloseKestrovanHID(b);
  }

  KSVHidHandle id3 = Open(api, "KSV-ID3");
  KSV_CHECK_MSG(id3 != nullptr, "open KSV-ID3");
  if (id3 != nullptr) {
    reply.fill(0);
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(id3, command.data(), reply.data()), -15);
    KSV_CHECK(reply == command);  // delivered whatever the classification
    api.SetModuleMode(1);
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(id3, command.data(), reply.data()), 3);
    api.SetModuleMode(0);
    api.CloseKestrovanHID(id3);
  }
  api.SetModuleMode(0);
}

void ShortReply(const Exports& api) {
  api.SetModuleMode(0);
  const Payload command = Pattern(0x11);
  Payload reply{};
  KSVHidHandle s = Open(api, "KSV-SHORT");
  KSV_CHECK_MSG(s != nullptr, "open KSV-SHORT");
  if (s != nullptr) {
    // 10 bytes arrive: the ID and 9 payload bytes; the rest of the reply is zero.
    Payload expected{};
    std::copy_n(command.begin(), 9, expected.begin());
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(s, command.data(), reply.data()), -16);
    KSV_CHECK(reply == expected);
    reply.fill(0x66);
    api.SetModuleMode(1);
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(s, command.data(), reply.data()), 1);
    KSV_CHECK(reply == expected);
    api.SetModuleMode(0);
    api.CloseKestrovanHID(s);
  }
  api.SetModuleMode(0);
}

void SilentOnceThenAnswers(const Exports& api) {
  api.SetModuleMode(0);
  KSVHidHandle q = Open(api, "KSV-QUIET");
  KSV_CHECK(q != nullptr);
  if (q == nullptr) {
    return;
  }
  const Payload command = Pattern(0x40);
  Payload reply;
  reply.fill(0x66);
  const auto start = Clock::now();
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(q, command.data(), reply.data()), -1);
  const double waited = SecondsSince(start);
  std::printf("silent module: -1 after %.2f s\n", waited);
  KSV_CHECK(waited >= 1.9 && waited < 5.0);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  // The handle still works: the unanswered command costs the next exchange at most the 2 s that
  // an owed reply is waited for, and each reply is then its own.
  const auto next = Clock::now();
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(q, command.data(), reply.data()), 1);
  const double next_waited = SecondsSince(next);
  std::printf("silent module: the next exchange took %.2f s\n", next_waited);
  KSV_CHECK(reply == command);
  KSV_CHECK(next_waited < 2.0 + 2.5);
  for (std::uint8_t i = 1; i <= 5; ++i) {
    const Payload c = Pattern(static_cast<std::uint8_t>(0x40 + i));
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(q, c.data(), reply.data()), 1);
    KSV_CHECK(reply == c);
  }
  api.CloseKestrovanHID(q);
}

// A reply that comes after its exchange gave up is never taken as a later command's reply.
void LateReplyThenOwnReplies(const Exports& api) {
  api.SetModuleMode(0);
  KSVHidHandle h = Open(api, "KSV-LATE");
  KSV_CHECK(h != nullptr);
  if (h == nullptr) {
    return;
  }
  const Payload first = Pattern(0x60);
  Payload reply;
  reply.fill(0x66);
  const auto start = Clock::now();
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(h, first.data(), reply.data()), -1);
  const double waited = SecondsSince(start);
  std::printf("late module: -1 after %.2f s\n", waited);
  KSV_CHECK(waited >= 1.9 && waited < 5.0);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the late reply has arrived
  for (std::uint8_t i = 1; i <= 5; ++i) {
    const Payload c = Pattern(static_cast<std::uint8_t>(0x60 + i));
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(h, c.data(), reply.data()), 1);
    KSV_CHECK_MSG(reply == Transformed(c, kXorLate), "each exchange gets its own command's reply");
  }
  KSV_CHECK_EQ(api.CloseKestrovanHID(h), 1);
}

// A command numbered `n` (payload bytes 3 and 4) for a module with the late marker: late by
// `delay_ms` (kDropped: never answered) when `delay_ms` is not 0.
Payload Numbered(unsigned n, int delay_ms = 0) {
  Payload p = Pattern(static_cast<std::uint8_t>(n));
  p[0] = static_cast<char>(delay_ms != 0 ? kLateMarker : 0x4C);
  p[1] = static_cast<char>(delay_ms >> 8);
  p[2] = static_cast<char>(delay_ms);
  p[3] = static_cast<char>(n >> 8);
  p[4] = static_cast<char>(n);
  return p;
}

// The result an answer of the device gives in mode 0: report ID 2 is another reply kind, 3 an
// unknown one.
int ResultInMode0(const TestDevice& d) {
  return d.answer == Answer::kReplyId2 ? 0 : d.answer == Answer::kReplyId3 ? -15 : 1;
}

// What became of exchanges (mode 0) whose replies should each be their own command's.
struct Tally {
  int exchanges = 0;
  int own = 0;    // the device's result, with the reply to this very command
  int wrong = 0;  // the device's result, but another command's reply
  int timeouts = 0;
  int other = 0;  // any other result (a module that left, ...)

  int Exchange(const Exports& api, KSVHidHandle h, const Payload& command, const TestDevice& d) {
    Payload reply{};
    const int result = api.SendReceiveKestrovanHID(h, command.data(), reply.data());
    ++exchanges;
    if (result == ResultInMode0(d)) {
      ++(reply == Transformed(command, d.xor_mask) ? own : wrong);
    } else {
      ++(result == -1 ? timeouts : other);
    }
    return result;
  }
  void Add(const Tally& t) {
    exchanges += t.exchanges;
    own += t.own;
    wrong += t.wrong;
    timeouts += t.timeouts;
    other += t.other;
  }
};

// One late reply and what follows it: the module answers command 0 `delay_ms` late (past the
// read's 2 s), then come 40 commands `gap_ms` apart, on a handle reopened right after the time-out
// when `reopen` is set.
struct LateCase {
  int delay_ms;
  int gap_ms;
  bool reopen;
};
// The longest first; a reopen costs a walk.
const LateCase kLateCases[] = {
    {2500, 0, true},  {3500, 1, false}, {3500, 5, false}, {2500, 1, false},
    {2500, 5, false}, {2100, 1, false}, {2100, 5, false},
};
// The modules that take turns at the cases, where the bed has them.
const char* const kLateModules[] = {"A", "LUK", "B", "ID3", "L1"};

struct LateOutcome {
  const LateCase* c = nullptr;
  const char* module = "";
  int late_result = 0;
  double late_s = 0;
  int next_result = 0;  // the first exchange after the time-out
  bool next_own = false;
  double next_s = 0;
  bool reopened = true;
  Tally after;  // the 40 that follow
};

LateOutcome RunLateCase(const Exports& api, const Options& options, const TestDevice& d,
                        KSVHidHandle& h, const LateCase& c, unsigned& n) {
  LateOutcome o;
  o.c = &c;
  o.module = d.id;
  Tally late;
  auto start = Clock::now();
  o.late_result = late.Exchange(api, h, Numbered(n++, c.delay_ms), d);
  o.late_s = SecondsSince(start);
  if (c.reopen) {
    api.CloseKestrovanHID(h);
    h = Open(api, TextOf(d, options));
    o.reopened = h != nullptr;
    if (h == nullptr) {
      return o;
    }
  }
  Tally next;
  start = Clock::now();
  o.next_result = next.Exchange(api, h, Numbered(n++), d);
  o.next_s = SecondsSince(start);
  o.next_own = next.own == 1;
  for (int i = 0; i < 40; ++i) {
    if (c.gap_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms));
    }
    o.after.Exchange(api, h, Numbered(n++), d);
  }
  return o;
}

// The cases run side by side, one module each at a time, the longest first.
void LateRepliesInOrder(const Exports& api, const Options& options) {
  api.SetModuleMode(0);
  std::vector<const TestDevice*> modules;
  for (const char* id : kLateModules) {
    for (const TestDevice& d : kDevices) {
      if (std::strcmp(d.id, id) == 0 && Reachable(d, options)) {
        modules.push_back(&d);
      }
    }
  }
  // Each module, once open, takes the next case of the table until none is left.
  std::atomic<std::size_t> next_case{0};
  std::vector<std::vector<LateOutcome>> outcomes(modules.size());
  std::vector<int> opened(modules.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t m = 0; m < modules.size(); ++m) {
    threads.emplace_back([&, m] {
      KSVHidHandle h = Open(api, TextOf(*modules[m], options));
      opened[m] = h != nullptr;
      unsigned n = 0x100 * static_cast<unsigned>(m + 1);
      for (std::size_t i; h != nullptr && (i = next_case++) < std::size(kLateCases);) {
        outcomes[m].push_back(RunLateCase(api, options, *modules[m], h, kLateCases[i], n));
      }
      if (h != nullptr) {
        api.CloseKestrovanHID(h);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (std::size_t m = 0; m < modules.size(); ++m) {
    KSV_CHECK_MSG(opened[m] == 1, modules[m]->id);
    for (const LateOutcome& o : outcomes[m]) {
      std::printf(
          "late by %d ms, %s%d ms apart, module %s: %d after %.2f s; next %d (%s) after %.2f s; "
          "40 more: %d own, %d wrong, %d time-outs, %d other\n",
          o.c->delay_ms, o.c->reopen ? "reopened, " : "", o.c->gap_ms, o.module, o.late_result,
          o.late_s, o.next_result, o.next_own ? "own" : "not own", o.next_s, o.after.own,
          o.after.wrong, o.after.timeouts, o.after.other);
      const std::string what = std::string(o.module) + " late by " + std::to_string(o.c->delay_ms);
      KSV_CHECK_MSG(o.late_result == -1 && o.late_s >= 1.9 && o.late_s < 5.0, what);
      KSV_CHECK_MSG(o.reopened, what + ": reopen");
      KSV_CHECK_MSG(o.next_own, what + ": the next exchange's own reply");
      KSV_CHECK_MSG(o.after.own == 40 && o.after.wrong == 0, what + ": 40 own replies");
    }
  }
}

// A closed handle whose descriptor number now belongs to a plain file acts on nothing.
void StaleHandle(const Exports& api, const Options& options) {
  if (!options.with_descriptor_reused) {
    std::printf("SKIPPED stale handle: handles are not descriptors on this platform\n");
    return;
  }
  api.SetModuleMode(0);
  KSVHidHandle a = Open(api, "KSV-A");
  KSV_CHECK(a != nullptr);
  if (a == nullptr) {
    return;
  }
  KSV_CHECK_EQ(api.CloseKestrovanHID(a), 1);
  const Payload command = Pattern(5);
  Payload reply;
  reply.fill(0x55);
  int result = 0;
  int closed = -1;
  KSV_CHECK_MSG(options.with_descriptor_reused(a,
                                               [&] {
                                                 result = api.SendReceiveKestrovanHID(
                                                     a, command.data(), reply.data());
                                                 closed = api.CloseKestrovanHID(a);
                                               }),
                "the file took the descriptor, stayed empty and stayed open");
  KSV_CHECK_EQ(result, -7);
  KSV_CHECK_EQ(closed, 0);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x55; }));
}

// Threads that each open and close their own module at once never hide one another's module.
// Wine does not open exclusively, so there nothing could be hidden.
void ParallelOpens(const Exports& api, const Options& options) {
  if (!options.exclusive_opens) {
    std::printf("SKIPPED parallel opens: this platform does not enforce exclusive opens (Wine)\n");
    return;
  }
  constexpr int kRounds = 200;
  const char* const serials[] = {"KSV-A", "KSV-B", "KSV-ID3", "KSV-SLOW"};
  api.SetModuleMode(0);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (const char* serial : serials) {
    threads.emplace_back([&api, &failures, serial] {
      for (int round = 0; round < kRounds; ++round) {
        KSVHidHandle h = Open(api, serial);
        if (h == nullptr || api.CloseKestrovanHID(h) != 1) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  std::printf("parallel opens: %d of %d failed\n", failures.load(),
              kRounds * static_cast<int>(std::size(serials)));
  KSV_CHECK_EQ(failures.load(), 0);
}

void DuplicateSerials(const Exports& api, const Options& options) {
  api.SetModuleMode(0);
  KSVHidHandle d = Open(api, "KSV-DUP");
  KSV_CHECK(d != nullptr);
  if (d == nullptr) {
    return;
  }
  const Payload command = Pattern(0x22);
  Payload reply{};
  const int result = api.SendReceiveKestrovanHID(d, command.data(), reply.data());
  if (options.walk_order_is_creation_order) {
    KSV_CHECK_EQ(result, 1);  // DUP1 comes first
  } else {
    KSV_CHECK(result == 1 || result == 0);
  }
  if (options.exclusive_opens) {
    KSVHidHandle second = Open(api, "KSV-DUP");  // the other one
    KSV_CHECK(second != nullptr);
    if (second != nullptr) {
      KSV_CHECK_EQ(api.SendReceiveKestrovanHID(second, command.data(), reply.data()),
                   result == 1 ? 0 : 1);
      api.CloseKestrovanHID(second);
    }
  }
  api.CloseKestrovanHID(d);
}

void BadHandles(const Exports& api) {
  const Payload command = Pattern(1);
  Payload reply;
  reply.fill(0x55);
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(nullptr, command.data(), reply.data()), -7);
  api.SetModuleMode(0);
  KSVHidHandle a = Open(api, "KSV-A");
  KSV_CHECK(a != nullptr);
  KSV_CHECK_EQ(api.CloseKestrovanHID(a), 1);
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(a, command.data(), reply.data()), -7);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x55; }));
}

void TwoThreadsTwoModules(const Exports& api) {
  api.SetModuleMode(0);
  KSVHidHandle fast = Open(api, "KSV-A");
  KSVHidHandle slow = Open(api, "KSV-SLOW");
  KSV_CHECK(fast != nullptr && slow != nullptr);
  if (fast != nullptr && slow != nullptr) {
    std::atomic<int> wrong{0};
    auto run = [&](KSVHidHandle h, std::uint8_t mask, std::uint8_t seed) {
      for (std::uint8_t i = 0; i < 5; ++i) {
        const Payload c = Pattern(static_cast<std::uint8_t>(seed + i));
        Payload r{};
        if (api.SendReceiveKestrovanHID(h, c.data(), r.data()) != 1 || r != Transformed(c, mask)) {
          ++wrong;
        }
      }
    };
    std::thread t1(run, fast, kXorA, std::uint8_t{0x10});
    std::thread t2(run, slow, kXorSlow, std::uint8_t{0x90});
    t1.join();
    t2.join();
    KSV_CHECK_EQ(wrong.load(), 0);
  }
  api.CloseKestrovanHID(fast);
  api.CloseKestrovanHID(slow);
}

// After a module left, every exchange on its handle gives -255 and leaves the reply as it was;
// the handle still closes.
void ExpectGone(const Exports& api, KSVHidHandle h, const Payload& command) {
  Payload reply;
  reply.fill(0x66);
  KSV_CHECK_EQ(api.SendReceiveKestrovanHID(h, command.data(), reply.data()), -255);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  KSV_CHECK_EQ(api.CloseKestrovanHID(h), 1);
}

// Waits until the walk counts `want` modules in mode 0 (a module that left is gone from it).
void ExpectCount(const Exports& api, int want) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  int count = api.GetKestrovanHIDnumber();
  while (count != want && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    count = api.GetKestrovanHIDnumber();
  }
  KSV_CHECK_EQ(count, want);
}

// The module leaves during the read: -255, not a short reply, and nothing written.
void RemovedDuringRead(const Exports& api) {
  api.SetModuleMode(0);
  const int before = api.GetKestrovanHIDnumber();
  KSVHidHandle g = Open(api, "KSV-GONE");
  KSV_CHECK(g != nullptr);
  if (g == nullptr) {
    return;
  }
  const Payload command = Pattern(3);
  Payload reply;
  reply.fill(0x66);
  const auto start = Clock::now();
  const int result = api.SendReceiveKestrovanHID(g, command.data(), reply.data());
  const double waited = SecondsSince(start);
  std::printf("module removed during the read: %d after %.2f s\n", result, waited);
  KSV_CHECK_EQ(result, -255);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  KSV_CHECK(waited < 5.0);
  ExpectGone(api, g, command);
  ExpectCount(api, before - 1);
}

// A USB module that takes no output report: f_hid queues 4, each of those exchanges times out on
// its read (silence: -1 after 2 s); the fifth write blocks in the kernel, and the module leaves
// during it.
void RemovedDuringBlockedWrite(const Exports& api, const Options& options) {
  api.SetModuleMode(0);
  const int before = api.GetKestrovanHIDnumber();
  KSVHidHandle h = Open(api, "KSV-STALL");
  KSV_CHECK(h != nullptr);
  if (h == nullptr) {
    return;
  }
  constexpr int kQueuedReports = 4;
  const Payload command = Pattern(0x70);
  Payload reply;
  reply.fill(0x66);
  for (int i = 0; i < kQueuedReports; ++i) {
    const auto start = Clock::now();
    KSV_CHECK_EQ(api.SendReceiveKestrovanHID(h, command.data(), reply.data()), -1);
    const double waited = SecondsSince(start);
    // From the second on, each first waits up to 2 s for the reply the module owes.
    KSV_CHECK_MSG(waited >= 1.9 && waited < (i == 0 ? 5.0 : 7.0),
                  "silence: -1 after the read's 2 s and the wait for the owed reply");
  }
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  bool unplugged = false;
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    unplugged = options.unplug("STALL");
  });
  const auto start = Clock::now();
  const int result = api.SendReceiveKestrovanHID(h, command.data(), reply.data());
  const double waited = SecondsSince(start);
  remover.join();
  std::printf("module removed during a blocked write: %d after %.2f s\n", result, waited);
  KSV_CHECK(unplugged);
  KSV_CHECK_EQ(result, -255);
  KSV_CHECK(std::all_of(reply.begin(), reply.end(), [](char c) { return c == 0x66; }));
  KSV_CHECK(waited < 5.0);
  ExpectGone(api, h, command);
  ExpectCount(api, before - 1);
}

// Whether the bed has the device with this ksv-virtual-module id.
bool Present(const char* id, const Options& options) {
  return std::any_of(std::begin(kDevices), std::end(kDevices), [&](const TestDevice& d) {
    return std::strcmp(d.id, id) == 0 && Reachable(d, options);
  });
}

}  // namespace

void PrintDevices() {
  const unsigned bed = BedFromEnvironment();
  for (const TestDevice& d : kDevices) {
    if ((d.beds & bed) != 0) {
      std::printf("%s\n", d.description);
    }
  }
}

// Stated independently of the library's table.
bool IsModuleIds(std::uint16_t vendor, std::uint16_t product, int mode) {
  const bool primary = vendor == 0x17FE, secondary = vendor == 0x10C4;
  switch (mode) {
    case 0:
      return (primary || secondary) && product == 0x82CD;
    case 1:
      return primary && product == 0x8200;
    case 2:
      return primary && product == 0x82CD;
    case 3:
      return secondary && product == 0x82CD;
    default:
      return false;
  }
}

unsigned BedFromEnvironment() {
  const char* name = std::getenv("KSV_DEVICE_BED");
  if (name == nullptr || std::strcmp(name, "uhid") == 0) {
    return kBedUhid;
  }
  if (std::strcmp(name, "usb1") == 0) {
    return kBedUsb1;
  }
  if (std::strcmp(name, "usb2") == 0) {
    return kBedUsb2;
  }
  return std::strcmp(name, "soak") == 0 ? unsigned{kBedSoak} : 0u;
}

std::vector<std::string> ModuleTexts(int mode, const Options& options) {
  std::vector<std::string> texts;
  for (const TestDevice* d : ModulesOf(mode, options, false)) {
    const char* text = TextOf(*d, options);
    texts.emplace_back(text != nullptr ? text : "");
  }
  return texts;
}

const char* ControlChannel() {
  const char* path = std::getenv("KSV_MODULE_CONTROL");
  return path != nullptr ? path : "";
}

bool WaitForModules(const Exports& api, int seconds) {
  return WaitForModules(api, Options{}, seconds);
}

bool WaitForModules(const Exports& api, const Options& options, int seconds) {
  api.SetModuleMode(0);
  const int want = static_cast<int>(ModulesOf(0, options).size());
  const auto start = Clock::now();
  int count = api.GetKestrovanHIDnumber();
  while (count != want && SecondsSince(start) < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    count = api.GetKestrovanHIDnumber();
  }
  std::printf("%d of %d modules listed after %.1f s\n", count, want, SecondsSince(start));
  KSV_CHECK_MSG(count == want, "every module listed in time");
  return count == want;
}

void RunScenarios(const Exports& api, const Options& options) {
  struct Step {
    const char* name;
    void (*run)(const Exports&, const Options&);
    std::array<const char*, 4> needs;  // ksv-virtual-module ids of the devices it drives
    // Runs beside the next step: both mostly wait for modules that no other step of the group
    // drives, and neither counts the modules (an open one is not counted on Linux).
    bool beside_next = false;
  };
  const Step steps[] = {
      {"counts and names", CountsAndNames, {}},
      {"open by serial", OpenBySerialInEachMode, {}},
      {"exclusivity", Exclusivity, {"A"}},
      {"exchanges", [](const Exports& a, const Options&) { Exchanges(a); }, {"A"}},
      {"report IDs", [](const Exports& a, const Options&) { ReportIds(a); }, {"B", "ID3"}},
      {"short reply", [](const Exports& a, const Options&) { ShortReply(a); }, {"SHORT"}},
      {"silent once",
       [](const Exports& a, const Options&) { SilentOnceThenAnswers(a); },
       {"QUIET"},
       true},
      {"late reply",
       [](const Exports& a, const Options&) { LateReplyThenOwnReplies(a); },
       {"LATE"},
       true},
      {"late replies in order", LateRepliesInOrder, {"A", "LUK"}},
      {"duplicate serials", DuplicateSerials, {"DUP1", "DUP2"}},
      {"bad handles", [](const Exports& a, const Options&) { BadHandles(a); }, {"A"}},
      {"stale handle", StaleHandle, {"A"}},
      {"parallel opens", ParallelOpens, {"A", "B", "ID3", "SLOW"}},
      {"two threads",
       [](const Exports& a, const Options&) { TwoThreadsTwoModules(a); },
       {"A", "SLOW"}},
      {"removed during read",
       [](const Exports& a, const Options&) { RemovedDuringRead(a); },
       {"GONE"}},
      {"removed during a blocked write", RemovedDuringBlockedWrite, {"STALL"}},
  };
  std::vector<const Step*> group;
  for (const Step& step : steps) {
    const char* const* missing =
        std::find_if(step.needs.begin(), step.needs.end(),
                     [&](const char* id) { return id != nullptr && !Present(id, options); });
    if (missing != step.needs.end()) {
      std::printf("SKIPPED %s: module %s is not on this bed\n", step.name, *missing);
    } else if (std::strcmp(step.name, "removed during a blocked write") == 0 && !options.unplug) {
      std::printf("SKIPPED %s: no control channel to unplug the module\n", step.name);
    } else {
      group.push_back(&step);
    }
    if (step.beside_next || group.empty()) {
      continue;
    }
    // The group's failures are told apart only by their messages.
    const int failures_before = ksv::test::g_failures;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    std::vector<double> seconds(group.size());
    for (std::size_t i = 0; i < group.size(); ++i) {
      threads.emplace_back([&, i] {
        const auto own_start = Clock::now();
        group[i]->run(api, options);
        seconds[i] = SecondsSince(own_start);
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
    std::string names;
    for (std::size_t i = 0; i < group.size(); ++i) {
      char time[32];
      std::snprintf(time, sizeof time, " (%.2f s)", seconds[i]);
      names += (i == 0 ? "" : " | ") + std::string(group[i]->name) + time;
    }
    if (group.size() > 1) {
      char time[48];
      std::snprintf(time, sizeof time, ", side by side in %.2f s", SecondsSince(start));
      names += time;
    }
    std::printf("[%s] %s\n", ksv::test::g_failures == failures_before ? "pass" : "FAIL",
                names.c_str());
    group.clear();
  }
}

}  // namespace ksv::test

namespace ksv::test {

namespace {

// Late and dropped commands hold the gate open; unplugging and plugging a module close it. The
// virtual modules are one program, which does not read while it waits for a plugged module's node,
// so a plug would hold back the other modules' late replies by that wait.
class PlugGate {
 public:
  void EnterLate() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !plugging_; });
    ++late_;
  }
  void LeaveLate() {
    std::lock_guard<std::mutex> lock(mutex_);
    --late_;
    changed_.notify_all();
  }
  void EnterPlug() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !plugging_; });
    plugging_ = true;
    changed_.wait(lock, [&] { return late_ == 0; });
  }
  void LeavePlug() {
    std::lock_guard<std::mutex> lock(mutex_);
    plugging_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int late_ = 0;
  bool plugging_ = false;
};

struct SoakCounts {
  Tally tally;
  int late = 0, dropped = 0, reopens = 0, unplugs = 0, failed_opens = 0;
};

void SoakModule(const Exports& api, const Options& options, const TestDevice& d, unsigned seed,
                Clock::time_point deadline, PlugGate& gate, SoakCounts& counts) {
  std::mt19937 random(seed);
  const char* text = TextOf(d, options);
  const bool can_unplug = IsUsbBed(options.bed) && options.unplug && options.plug;
  unsigned n = seed << 12;
  Tally& t = counts.tally;
  KSVHidHandle h = Open(api, text);
  while (Clock::now() < deadline) {
    if (h == nullptr) {
      ++counts.failed_opens;
      break;
    }
    const auto roll = random() % 100;
    if (roll < 55) {  // plain exchanges, back to back
      for (int i = 0; i < 10; ++i) {
        t.Exchange(api, h, Numbered(n++), d);
      }
    } else if (roll < 85) {  // late or never answered, then retried at once
      const bool drop = roll >= 75;
      gate.EnterLate();
      ++(drop ? counts.dropped : counts.late);
      t.Exchange(api, h, Numbered(n++, drop ? kDropped : static_cast<int>(2000 + random() % 1501)),
                 d);
      if (roll % 2 == 1) {  // the answer is owed to the module, not to the handle
        ++counts.reopens;
        api.CloseKestrovanHID(h);
        h = Open(api, text);
        if (h == nullptr) {
          gate.LeaveLate();
          continue;
        }
      }
      for (int i = 0; i < 5; ++i) {
        t.Exchange(api, h, Numbered(n++), d);
      }
      gate.LeaveLate();
    } else if (roll < 93 || !can_unplug) {  // closed and opened again
      ++counts.reopens;
      api.CloseKestrovanHID(h);
      h = Open(api, text);
    } else {  // off the bus and back
      gate.EnterPlug();
      ++counts.unplugs;
      options.unplug(d.id);
      // Until the handle notices that the module left.
      for (int i = 0; i < 50 && t.Exchange(api, h, Numbered(n++), d) == ResultInMode0(d); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      api.CloseKestrovanHID(h);
      h = nullptr;
      options.plug(d.id);
      for (int i = 0; i < 150 && h == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        h = Open(api, text);
      }
      gate.LeavePlug();
    }
  }
  if (h != nullptr) {
    api.CloseKestrovanHID(h);
  }
}

}  // namespace

void Soak(const Exports& api, const Options& options, int seconds) {
  api.SetModuleMode(0);
  std::vector<const TestDevice*> modules;
  for (const TestDevice& d : kDevices) {
    if ((d.beds & kBedSoak) != 0 && Reachable(d, options)) {
      modules.push_back(&d);
    }
  }
  KSV_CHECK_EQ(modules.size(), 4);
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  PlugGate gate;
  std::vector<SoakCounts> counts(modules.size());
  std::vector<std::thread> threads;
  for (std::size_t m = 0; m < modules.size(); ++m) {
    threads.emplace_back(SoakModule, std::cref(api), std::cref(options), std::cref(*modules[m]),
                         static_cast<unsigned>(m + 1), deadline, std::ref(gate),
                         std::ref(counts[m]));
  }
  for (std::thread& t : threads) {
    t.join();
  }
  SoakCounts all;
  for (std::size_t m = 0; m < modules.size(); ++m) {
    const SoakCounts& c = counts[m];
    std::printf(
        "soak %s: %d exchanges, %d own, %d wrong, %d -1, %d other; %d late, %d dropped, "
        "%d reopens, %d unplugs\n",
        modules[m]->id, c.tally.exchanges, c.tally.own, c.tally.wrong, c.tally.timeouts,
        c.tally.other, c.late, c.dropped, c.reopens, c.unplugs);
    all.tally.Add(c.tally);
    all.late += c.late;
    all.dropped += c.dropped;
    all.reopens += c.reopens;
    all.unplugs += c.unplugs;
    all.failed_opens += c.failed_opens;
  }
  std::printf(
      "soak: %.1f s, %d exchanges, %d -1, %d other results, %d wrong replies; %d late, "
      "%d dropped, %d reopens, %d unplugs\n",
      SecondsSince(start), all.tally.exchanges, all.tally.timeouts, all.tally.other,
      all.tally.wrong, all.late, all.dropped, all.reopens, all.unplugs);
  KSV_CHECK_EQ(all.tally.wrong, 0);
  KSV_CHECK_EQ(all.failed_opens, 0);
  // Every kind of step came up, and most exchanges were answered.
  KSV_CHECK(all.late > 0 && all.dropped > 0 && all.reopens > 0);
  KSV_CHECK(all.unplugs > 0 || !IsUsbBed(options.bed) || !options.plug);
  KSV_CHECK(all.tally.own > all.tally.exchanges / 2);
}

}  // namespace ksv::test

namespace ksv::test {

double MedianRoundTripMs(const Exports& api, int exchanges) {
  api.SetModuleMode(0);
  KSVHidHandle h = nullptr;
  if (api.OpenKestrovanHID(&h, "KSV-DUP") != 1 && api.OpenKestrovanHID(&h, "KSV-A") != 1) {
    return -1;  // no answering module on this bed
  }
  std::vector<double> times;
  const Payload command = Pattern(9);
  Payload reply{};
  for (int i = 0; i < exchanges; ++i) {
    const auto start = Clock::now();
    api.SendReceiveKestrovanHID(h, command.data(), reply.data());
    times.push_back(SecondsSince(start) * 1000.0);
  }
  api.CloseKestrovanHID(h);
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace ksv::test
