// The three walk forms: counting, naming by ordinal and opening by serial number, against
// scripted sets of HID interfaces, on a platform that opens candidates to examine them, on one
// that tells their IDs without opening them (as Windows) and on one that describes them (as
// Linux). Every call is followed by a resource check and a check that it built one interface list,
// opened each candidate at most once (on the identifying platform: only candidates with a module's
// IDs; on the describing platform: counting and naming open nothing, opening opens only the module
// it hands out) and looked at the holders at most once (never without a module's IDs present), and
// every call that gives 0 must leave its out-argument as it was.
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "discovery/candidate.h"
#include "discovery/walk.h"
#include "fault_injecting_platform.h"
#include "fill_markers.h"

namespace ksv {
namespace {

using test::Op;

using test::kSentinel;
using test::kUnwritten;
// Larger than any serial number text, so that a write past 256 bytes would show.
constexpr std::size_t kNameBufferBytes = 300;
using NameBuffer = std::array<char, kNameBufferBytes>;

SimulatedDevice First(const std::string& path, const std::string& serial) {
  return test::Module(path, kVendorPrimary, kProductStandard, serial);
}
SimulatedDevice Second(const std::string& path, const std::string& serial) {
  return test::Module(path, kVendorSecondary, kProductStandard, serial);
}
SimulatedDevice Keyboard(const std::string& path) {
  return test::OtherDevice(path, 0x046D, 0xC31C);
}
SimulatedDevice WithUnits(SimulatedDevice i, const std::vector<std::uint16_t>& units) {
  i.serial.emplace(units.begin(), units.end());
  return i;
}
SimulatedDevice Busy(SimulatedDevice i) {
  i.busy = true;
  return i;
}
SimulatedDevice SerialUnreadable(SimulatedDevice i) {
  i.serial = std::nullopt;
  return i;
}

using Telling = test::FaultInjectingPlatform::Telling;

// The parameter: what the platform tells of interfaces without opening them.
class WalkTest : public ::testing::TestWithParam<Telling> {
 protected:
  void SetUp() override { Script({}); }
  void TearDown() override { SetModuleMode(0); }

  // A platform over these devices in place of the one before.
  void Script(std::vector<SimulatedDevice> devices) {
    scripted = devices;
    platform = std::make_unique<test::ScriptedPlatform>(std::move(devices));
    platform->tells = GetParam();
    traced = 0;
  }

  // The operations since the last call: `walks` interface lists (one, or none for a call that
  // has nothing to look for), no interface opened twice, and on a describing platform no more
  // than `most_opens` opens.
  void ExpectOneWalk(std::size_t most_opens = 0, std::size_t walks = 1) {
    const std::vector<test::TraceEntry> trace = platform->trace();
    std::size_t lists = 0;
    std::size_t all_opens = 0;
    std::size_t looks = 0;
    std::map<int, int> opens;
    const ModeIdentities wanted = IdentitiesFor(CurrentMode());
    const auto carries_module_ids = [&](const SimulatedDevice& d) {
      return Accepts(wanted, d.ids);
    };
    for (std::size_t i = traced; i < trace.size(); ++i) {
      lists += trace[i].op == Op::kOpenInterfaceList;
      looks += trace[i].op == Op::kReadHolders;
      if (trace[i].op != Op::kOpenDevicePath) {
        continue;
      }
      ++all_opens;
      const int index = trace[i].interface_index;
      if (++opens[index] == 2) {
        ADD_FAILURE() << "interface " << index << " opened twice in one walk";
      }
      if (GetParam() == Telling::kIds && index >= 0 &&
          static_cast<std::size_t>(index) < scripted.size()) {
        EXPECT_TRUE(carries_module_ids(scripted[static_cast<std::size_t>(index)]))
            << "interface " << index << " opened although its IDs are no module's";
      }
    }
    EXPECT_EQ(lists, walks) << "interface lists built by one walk";
    EXPECT_LE(looks, 1u) << "looks at the holders by one walk";
    if (std::none_of(scripted.begin(), scripted.end(), carries_module_ids)) {
      EXPECT_EQ(looks, 0u) << "holders looked at without a module's IDs present";
    }
    if (GetParam() == Telling::kAll) {
      EXPECT_LE(all_opens, most_opens) << "opens by one walk of a describing platform";
    }
    traced = trace.size();
  }

  int Count() {
    const int count = CountModules(*platform);
    EXPECT_TRUE(platform->Balanced(kept)) << platform->Describe();
    ExpectOneWalk();
    return count;
  }

  // The bytes NameModule wrote: nothing on 0 (checked), else up to and including the last
  // byte that differs from the sentinel's fill.
  NameBuffer NameRaw(int ordinal, int& result) {
    NameBuffer buffer;
    buffer.fill(kSentinel);
    result = NameModule(*platform, ordinal, buffer.data());
    EXPECT_TRUE(platform->Balanced(kept)) << platform->Describe();
    ExpectOneWalk(0, ordinal < 0 ? 0 : 1);
    if (result == 0) {
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == kSentinel; }))
          << "buffer written although the result is 0";
    }
    return buffer;
  }

  // The text NameModule wrote, checked to be exactly its characters and the terminator.
  std::optional<std::string> Name(int ordinal) {
    int result = -1;
    const NameBuffer buffer = NameRaw(ordinal, result);
    if (result == 0) {
      return std::nullopt;
    }
    EXPECT_EQ(result, 1);
    const std::string text(buffer.data());
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(text.size()) + 1,
                            buffer.end(), [](char c) { return c == kSentinel; }))
        << "more than the text and its terminator written for ordinal " << ordinal;
    return text;
  }

  // The interface index of the module opened, or -1; the handle stays open (see Release).
  int Open(const std::string& serial, DeviceHandle* handle = nullptr) {
    DeviceHandle out = kUnwritten;
    const int result = OpenModuleBySerial(*platform, &out, serial.c_str());
    ExpectOneWalk(static_cast<std::size_t>(result));
    if (result == 0) {
      EXPECT_EQ(out, kUnwritten) << "handle written although the result is 0";
      EXPECT_TRUE(platform->Balanced(kept)) << platform->Describe();
      return -1;
    }
    EXPECT_EQ(result, 1);
    ++kept;
    EXPECT_TRUE(platform->Balanced(kept)) << platform->Describe();
    if (handle != nullptr) {
      *handle = out;
    }
    return platform->InterfaceOf(out);
  }

  // Opens and at once closes again: the index of the module that would be handed out, or -1.
  int OpenAndRelease(const std::string& serial) {
    DeviceHandle h = kUnwritten;
    const int index = Open(serial, &h);
    if (index >= 0) {
      Release(h);
    }
    return index;
  }

  void Release(DeviceHandle h) {
    platform->Close(h);
    --kept;
    EXPECT_TRUE(platform->Balanced(kept)) << platform->Describe();
  }

  std::unique_ptr<test::ScriptedPlatform> platform;
  std::vector<SimulatedDevice> scripted;  // the devices the platform was scripted with
  std::size_t kept = 0;
  std::size_t traced = 0;  // trace entries already looked at by ExpectOneWalk
};

TEST_P(WalkTest, NothingAttachedOrNoModuleAmongTheInterfaces) {
  const std::vector<std::vector<SimulatedDevice>> sets = {
      {}, {Keyboard("keyboard"), test::OtherDevice("mouse", 0x046D, 0xC077)}};
  for (const auto& devices : sets) {
    Script(devices);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(Name(0), std::nullopt);
    EXPECT_EQ(Open(""), -1);
    EXPECT_EQ(Open("A"), -1);
  }
}

TEST_P(WalkTest, ModulesAmongOtherInterfacesInWalkOrder) {
  Script({
      Keyboard("keyboard"),
      First("m-a", "A-100"),
      test::OtherDevice("mouse", 0x046D, 0xC077),
      Second("m-b", "B-200"),
      test::OtherDevice("other-vendor", 0x1234, kProductStandard),
      test::Module("lenient", kVendorPrimary, kProductLenient, "L-1"),
      First("m-c", "C-300"),
  });
  EXPECT_EQ(Count(), 3);
  // One walk over 7 interfaces: one list, 7 entries and the one that finds the end.
  EXPECT_EQ(platform->CountOps(Op::kOpenInterfaceList), 1u);
  EXPECT_EQ(platform->CountOps(Op::kGetInterfaceAt), 8u);

  EXPECT_EQ(Name(0), "A-100");
  EXPECT_EQ(Name(1), "B-200");
  EXPECT_EQ(Name(2), "C-300");
  for (int ordinal : {3, 4, -1, INT_MIN, INT_MAX}) {
    EXPECT_EQ(Name(ordinal), std::nullopt) << ordinal;
  }
  EXPECT_EQ(OpenAndRelease("C-300"), 6);
  EXPECT_EQ(OpenAndRelease("L-1"), -1);    // not a module in mode 0
  EXPECT_EQ(OpenAndRelease("OTHER"), -1);  // the other devices' serial

  // The walk's one list is held while its devices are opened and asked for their serial numbers.
  std::size_t lists = 0;
  for (const test::TraceEntry& e : platform->trace()) {
    lists += e.op == Op::kOpenInterfaceList;
    lists -= e.op == Op::kCloseInterfaceList;
    if (e.op == Op::kOpenDevicePath || e.op == Op::kGetSerialUnits) {
      EXPECT_EQ(lists, 1u);
    }
  }
}

// Only the requested module's serial number is read, and the walk ends at it, named or not.
TEST_P(WalkTest, NamingReadsOnlyTheRequestedModulesSerialAndStopsThere) {
  const struct {
    std::vector<SimulatedDevice> interfaces;
    int ordinal;
    std::optional<std::string> name;
    int last_examined;    // interface index
    std::size_t queries;  // serial numbers asked of devices where candidates are opened
  } rows[] = {
      {{First("m-a", "A"), First("m-b", "B"), First("m-c", "C")}, 1, "B", 1, 1},
      {{Keyboard("k"), First("m-a", "A"), First("m-b", "B"), Keyboard("k2")}, 0, "A", 1, 1},
      {{First("m-a", "A"), SerialUnreadable(First("m-u", "U")), First("m-b", "B")},
       1,
       std::nullopt,
       1,
       1},
      {{First("m-a", "A"), Keyboard("k")}, 1, std::nullopt, 1, 0},
  };
  for (const auto& row : rows) {
    Script(row.interfaces);
    const std::size_t from = platform->trace().size();
    EXPECT_EQ(Name(row.ordinal), row.name) << row.ordinal;
    // Devices are asked for a serial number only on an open handle: once, at the ordinal.
    std::size_t device_queries = 0;
    const std::vector<test::TraceEntry> trace = platform->trace();
    for (std::size_t i = from; i < trace.size(); ++i) {
      EXPECT_LE(trace[i].interface_index, row.last_examined) << "examined past the module";
      device_queries += trace[i].op == Op::kGetSerialUnits;
    }
    EXPECT_EQ(device_queries, GetParam() == Telling::kAll ? 0u : row.queries);
  }
}

TEST_P(WalkTest, InterfacesPastIndex63AreNeverExamined) {
  std::vector<SimulatedDevice> devices;
  for (int i = 0; i < 63; ++i) {
    devices.push_back(Keyboard("kbd-" + std::to_string(i)));
  }
  devices.push_back(First("m-63", "M63"));
  for (int i = 64; i < 70; ++i) {
    devices.push_back(First("m-" + std::to_string(i), "M" + std::to_string(i)));
  }
  Script(devices);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "M63");
  EXPECT_EQ(Name(1), std::nullopt);
  EXPECT_EQ(OpenAndRelease("M64"), -1);
  EXPECT_EQ(OpenAndRelease("M63"), 63);
  for (const test::TraceEntry& e : platform->trace()) {
    EXPECT_LT(e.interface_index, 64) << "interface " << e.interface_index << " examined";
    if (e.op == Op::kGetInterfaceAt) {
      EXPECT_LT(e.value, 64u);
    }
  }
}

TEST_P(WalkTest, EachModeFindsItsOwnModules) {
  Script({
      Keyboard("keyboard"),
      First("first", "P"),
      test::Module("lenient", kVendorPrimary, kProductLenient, "L"),
      Second("second", "S"),
  });
  const struct {
    ModuleMode mode;
    std::vector<std::string> serials;  // in walk order
  } cases[] = {{0, {"P", "S"}}, {1, {"L"}}, {2, {"P"}}, {3, {"S"}}};
  for (const auto& c : cases) {
    ASSERT_EQ(SetModuleMode(c.mode), 1);
    EXPECT_EQ(Count(), static_cast<int>(c.serials.size())) << "mode " << c.mode;
    for (std::size_t m = 0; m <= c.serials.size(); ++m) {
      const std::optional<std::string> name = Name(static_cast<int>(m));
      if (m < c.serials.size()) {
        EXPECT_EQ(name, c.serials[m]) << "mode " << c.mode << " ordinal " << m;
      } else {
        EXPECT_EQ(name, std::nullopt) << "mode " << c.mode << " ordinal " << m;
      }
    }
    for (const std::string serial : {"P", "L", "S"}) {
      const bool is_module =
          std::find(c.serials.begin(), c.serials.end(), serial) != c.serials.end();
      EXPECT_EQ(OpenAndRelease(serial) >= 0, is_module) << "mode " << c.mode << " " << serial;
    }
  }
}

// The mode is read anew for each candidate, so a walk during a change of mode may see some
// candidates under either mode; but a module of both modes is found by every walk, and a device
// that is a module under neither is never counted or opened. Run under ThreadSanitizer too.
TEST_P(WalkTest, ConcurrentModeChangesNeverHideAModuleOfBothModes) {
  Script({
      Keyboard("keyboard"),
      First("first", "P1"),
      test::Module("lenient", kVendorPrimary, kProductLenient, "L"),
      Second("second", "S"),
      First("first-2", "P2"),
  });
  const struct {
    ModuleMode modes[2];
    int fewest, most;  // modules a walk counts
    std::vector<std::string> always, never;
  } rows[] = {
      {{0, 2}, 2, 3, {"P1", "P2"}, {"L"}},
      {{3, 0}, 1, 3, {"S"}, {"L"}},
      {{1, 2}, 0, 3, {}, {"S"}},
  };
  constexpr int kWalks = 100;
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "modes " << row.modes[0] << " and " << row.modes[1]);
    ASSERT_EQ(SetModuleMode(row.modes[0]), 1);
    std::atomic<bool> walking{true};
    std::atomic<int> changes{0};
    std::thread setter([&] {
      for (int k = 1; walking.load(); ++k) {
        SetModuleMode(row.modes[k % 2]);
        ++changes;
      }
    });
    int outside = 0;
    int missed = 0;
    int wrongly_opened = 0;
    // As many walks again as it takes for the mode to change many times while they run.
    for (int walk = 0; walk < kWalks || changes.load() < kWalks; ++walk) {
      const int count = CountModules(*platform);
      outside += count < row.fewest || count > row.most;
      for (const std::string& serial : row.always) {
        DeviceHandle h = kUnwritten;
        if (OpenModuleBySerial(*platform, &h, serial.c_str()) == 1) {
          platform->Close(h);
        } else {
          ++missed;
        }
      }
      for (const std::string& serial : row.never) {
        DeviceHandle h = kUnwritten;
        if (OpenModuleBySerial(*platform, &h, serial.c_str()) == 1) {
          platform->Close(h);
          ++wrongly_opened;
        }
      }
    }
    walking = false;
    setter.join();
    EXPECT_EQ(outside, 0) << "counts outside [" << row.fewest << ", " << row.most << "]";
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(wrongly_opened, 0);
    EXPECT_TRUE(platform->Balanced()) << platform->Describe();
  }
}

TEST_P(WalkTest, UnreadableSerialIsCountedHoldsItsOrdinalAndIsSkippedByOpen) {
  Script({First("m-a", "A"), SerialUnreadable(Second("m-u", "U")), First("m-b", "B")});
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Name(0), "A");
  EXPECT_EQ(Name(1), std::nullopt);  // no later module moves up into its ordinal
  EXPECT_EQ(Name(2), "B");
  EXPECT_EQ(OpenAndRelease("B"), 2);
  EXPECT_EQ(OpenAndRelease(""), -1);
}

TEST_P(WalkTest, ModuleHeldElsewhereIsInvisible) {
  Script({Busy(First("m-a", "A")), Second("m-b", "B")});
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "B");
  EXPECT_EQ(OpenAndRelease("A"), -1);
  Script({First("m-a", "A"), Second("m-b", "B")});
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Name(0), "A");
}

TEST_P(WalkTest, OpenedModuleIsInvisibleUntilClosed) {
  Script({First("m-a", "A"), Second("m-b", "B")});
  DeviceHandle a = kUnwritten;
  ASSERT_EQ(Open("A", &a), 0);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "B");
  EXPECT_EQ(Name(1), std::nullopt);
  EXPECT_EQ(Open("A"), -1);
  Release(a);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Name(0), "A");
}

TEST_P(WalkTest, DuplicateSerialsOpenInWalkOrder) {
  Script({Keyboard("keyboard"), First("m-1", "DUP"), Second("m-2", "DUP")});
  DeviceHandle first = kUnwritten;
  DeviceHandle second = kUnwritten;
  EXPECT_EQ(Open("DUP", &first), 1);
  EXPECT_EQ(Open("DUP", &second), 2);
  EXPECT_EQ(Open("DUP"), -1);
  Release(first);
  Release(second);
}

TEST_P(WalkTest, SerialComparisonIsExact) {
  Script({First("m-x", "AbC1"), Second("m-empty", "")});
  const struct {
    const char* wanted;
    int index;
  } cases[] = {{"AbC1", 0},   {"abc1", -1},  {"ABC1", -1}, {"AbC", -1},
               {"AbC12", -1}, {"AbC1 ", -1}, {"", 1},      {" ", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(OpenAndRelease(c.wanted), c.index) << '"' << c.wanted << '"';
  }
}

TEST_P(WalkTest, SerialUnitsAreNarrowedToTheirLowByte) {
  const std::vector<std::uint16_t> full(256, 'Z');
  const struct {
    const char* what;
    std::vector<std::uint16_t> units;
    std::string text;  // the bytes written, terminator(s) included
  } cases[] = {
      {"empty", {}, std::string(1, '\0')},
      {"0x0141 becomes A", {0x0141, 'B'}, std::string("AB\0", 3)},
      {"high bytes dropped",
       {0x00E9, 0xFF41, 0x7F},
       std::string("\xE9"
                   "A\x7F\0",
                   4)},
      {"0x0100 ends the text early", {'X', 0x0100, 'Y'}, std::string("X\0Y\0", 4)},
      {"254 units", std::vector<std::uint16_t>(254, 'Z'), std::string(254, 'Z') + '\0'},
      {"255 units", std::vector<std::uint16_t>(255, 'Z'), std::string(255, 'Z') + '\0'},
      {"256 units, no terminator", full, std::string(255, 'Z') + '\0'},
  };
  for (const auto& c : cases) {
    Script({Keyboard("keyboard"), WithUnits(First("m", ""), c.units)});
    int result = 0;
    const NameBuffer buffer = NameRaw(0, result);
    ASSERT_EQ(result, 1) << c.what;
    EXPECT_EQ(
        std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.text.size())),
        c.text)
        << c.what;
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(c.text.size()),
                            buffer.end(), [](char ch) { return ch == kSentinel; }))
        << c.what << ": written past the text";
    // The opening form compares the same text, up to its first zero byte.
    EXPECT_EQ(OpenAndRelease(c.text.c_str()), 1) << c.what;
  }
  Script({WithUnits(First("m", ""), full)});
  EXPECT_EQ(OpenAndRelease(std::string(256, 'Z')), -1);
  EXPECT_EQ(OpenAndRelease(std::string(255, 'Z')), 0);
}

INSTANTIATE_TEST_SUITE_P(Platforms, WalkTest,
                         ::testing::Values(Telling::kNothing, Telling::kIds, Telling::kAll),
                         [](const ::testing::TestParamInfo<Telling>& platform_kind) {
                           return platform_kind.param == Telling::kAll   ? "Describing"
                                  : platform_kind.param == Telling::kIds ? "Identifying"
                                                                         : "Opening";
                         });

// Interfaces without a usable path, and devices that arrive or leave while a walk runs: each
// form in turn over the scripted interfaces. A walk follows the list it built at its start, so
// nothing shifts under it; an interface that cannot be used is passed over, never ending the walk.
TEST_P(WalkTest, InterfacesThatComeGoOrHaveNoUsablePath) {
  using Change = std::function<void(test::FaultInjectingPlatform&)>;
  // Happens to the platform just before the n-th operation `op` of the walk.
  struct Event {
    Op op;
    int nth;
    Change change;
  };
  const auto arrives = [](const char* path) {
    return [path](test::FaultInjectingPlatform& p) { p.faults(path).absent = false; };
  };
  const auto leaves = [](const char* path) {
    return [path](test::FaultInjectingPlatform& p) { p.faults(path).absent = true; };
  };
  const struct {
    const char* what;
    std::vector<SimulatedDevice> interfaces;
    Change before;  // what holds from the start
    std::optional<Event> event;
    std::vector<std::string> serials;  // the modules each form finds, in walk order
    std::string never_found;           // a serial no form finds
  } cases[] = {
      {"a path of 260 UTF-16 units",
       {Keyboard("keyboard"), First(std::string(259, 'a'), "FITS"),
        First(std::string(260, 'b'), "TOO-LONG"), First("m-after", "AFTER")},
       nullptr,
       std::nullopt,
       {"FITS", "AFTER"},
       "TOO-LONG"},
      {"a path that cannot be read",
       {First("m-a", "A"), Second("m-x", "X"), First("m-b", "B")},
       [](test::FaultInjectingPlatform& p) { p.faults("m-x").path_unreadable = true; },
       std::nullopt,
       {"A", "B"},
       "X"},
      {"a module arrives in front after the first open",
       {First("m-new", "NEW"), First("m-a", "A"), First("m-b", "B")},
       leaves("m-new"),
       Event{Op::kOpenDevicePath, 1, arrives("m-new")},
       {"A", "B"},
       "NEW"},
      {"a keyboard in front leaves after the first open",
       {Keyboard("keyboard"), First("m-a", "A"), First("m-b", "B")},
       nullptr,
       Event{Op::kOpenDevicePath, 2, leaves("keyboard")},
       {"A", "B"},
       "OTHER"},
      {"a module leaves before its path is read",
       {First("m-a", "A"), First("m-gone", "GONE"), First("m-b", "B")},
       nullptr,
       Event{Op::kGetInterfacePath, 2, leaves("m-gone")},
       {"A", "B"},
       "GONE"},
      {"a module leaves before it is opened",
       {First("m-a", "A"), First("m-gone", "GONE"), First("m-b", "B")},
       nullptr,
       Event{Op::kOpenDevicePath, 2, leaves("m-gone")},
       {"A", "B"},
       "GONE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int modules = static_cast<int>(c.serials.size());
    const std::function<void()> forms[] = {
        [&] { EXPECT_EQ(Count(), modules); },
        [&] { EXPECT_EQ(Name(modules - 1), c.serials.back()); },
        [&] { EXPECT_EQ(Name(modules), std::nullopt); },
        [&] { EXPECT_GE(OpenAndRelease(c.serials.back()), 0); },
        [&] { EXPECT_EQ(OpenAndRelease(c.never_found), -1); },
    };
    for (const auto& form : forms) {
      Script(c.interfaces);
      if (c.before) {
        c.before(*platform);
      }
      int seen = 0;
      if (c.event) {
        // A platform that tells looks at a candidate before, or instead of, opening it.
        const Op op = GetParam() != Telling::kNothing && c.event->op == Op::kOpenDevicePath
                          ? Op::kDescribeInterface
                          : c.event->op;
        platform->before_operation = [&, op](const test::TraceEntry& e) {
          if (e.op == op && ++seen == c.event->nth) {
            c.event->change(*platform);
          }
        };
      }
      form();
      platform->before_operation = nullptr;
    }
  }
}

// Walks from several threads at once, each opening and closing its own module again and again:
// a walk never finds another thread's free module taken by a walk in progress.
TEST(WalkConcurrency, WalksOnSeveralThreadsNeverMissAFreeModule) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<SimulatedDevice> interfaces = {Keyboard("keyboard")};
  for (int t = 0; t < kThreads; ++t) {
    interfaces.push_back(First("m-" + std::to_string(t), "T" + std::to_string(t)));
  }
  test::ScriptedPlatform platform(interfaces);
  // Give other threads every chance to run while a walk holds a candidate open.
  platform.before_operation = [](const test::TraceEntry& e) {
    if (e.op == Op::kGetDeviceIds) {
      std::this_thread::yield();
    }
  };
  std::vector<int> misses(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&platform, &misses, t] {
      const std::string serial = "T" + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        DeviceHandle h = kUnwritten;
        if (OpenModuleBySerial(platform, &h, serial.c_str()) != 1) {
          ++misses[static_cast<std::size_t>(t)];
          continue;
        }
        CloseModule(platform, h);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(misses, std::vector<int>(kThreads, 0));
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
}

TEST(CloseModuleTest, NullAndAllOnesGiveZeroWithoutTouchingThePlatform) {
  test::ScriptedPlatform platform;
  EXPECT_EQ(CloseModule(platform, nullptr), 0);
  EXPECT_EQ(CloseModule(platform, InvalidDeviceHandle()), 0);
  EXPECT_EQ(platform.CountOps(test::Op::kClose), 0u);
}

TEST(CloseModuleTest, OpenHandleIsClosedOnce) {
  test::ScriptedPlatform platform({test::Module("m0", 0x17FE, 0x82CD, "A")});
  const DeviceHandle h = platform.OpenDevicePath("m0");
  ASSERT_FALSE(IsNoDevice(h));
  EXPECT_EQ(CloseModule(platform, h), 1);
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  // Once closed the device can be opened again.
  const DeviceHandle again = platform.OpenDevicePath("m0");
  EXPECT_FALSE(IsNoDevice(again));
  EXPECT_EQ(CloseModule(platform, again), 1);
}

// A handle the platform can tell is not one of its devices (closed already, or never handed out)
// is left alone: 0, and the platform was asked exactly once.
TEST(CloseModuleTest, HandleThePlatformDisownsGivesZero) {
  test::ScriptedPlatform platform({test::Module("m0", 0x17FE, 0x82CD, "A")});
  const DeviceHandle closed = platform.OpenDevicePath("m0");
  ASSERT_EQ(CloseModule(platform, closed), 1);
  for (DeviceHandle h : {closed, reinterpret_cast<DeviceHandle>(0x1234)}) {
    EXPECT_EQ(CloseModule(platform, h), 0);
  }
  EXPECT_EQ(platform.CountOps(test::Op::kClose), 3u);
  EXPECT_EQ(platform.release_errors().size(), 2u);  // the platform was asked, and disowned both
}

}  // namespace
}  // namespace ksv
