// The three walk forms: counting, naming by ordinal and opening by serial number, against
// scripted sets of HID interfaces. Every call is followed by a resource check, and every call that
// gives 0 must leave its out-argument as it was.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "discovery/walk.h"
#include "simulated_platform.h"

namespace ksv {
namespace {

using sim::Op;

constexpr char kSentinel = '\x5A';
// Larger than any serial number text, so that a write past 256 bytes would show.
constexpr std::size_t kNameBufferBytes = 300;
using NameBuffer = std::array<char, kNameBufferBytes>;

const DeviceHandle kUnwritten = reinterpret_cast<DeviceHandle>(std::uintptr_t{0x5A5A5A5A});

sim::SimInterface First(const std::string& path, const std::string& serial) {
  return sim::Module(path, kVendorPrimary, kProductStandard, serial);
}
sim::SimInterface Second(const std::string& path, const std::string& serial) {
  return sim::Module(path, kVendorSecondary, kProductStandard, serial);
}
sim::SimInterface Keyboard(const std::string& path) {
  return sim::OtherDevice(path, 0x046D, 0xC31C);
}
sim::SimInterface WithUnits(sim::SimInterface i, std::vector<std::uint16_t> units) {
  i.serial = std::move(units);
  return i;
}
sim::SimInterface SerialUnreadable(sim::SimInterface i) {
  i.serial = std::nullopt;
  return i;
}

class WalkTest : public ::testing::Test {
 protected:
  void TearDown() override { SetModuleMode(0); }

  int Count() {
    const int count = CountModules(platform);
    EXPECT_TRUE(platform.Balanced(kept)) << platform.Describe();
    return count;
  }

  // The bytes NameModule wrote: nothing on 0 (checked), else up to and including the last
  // byte that differs from the sentinel's fill.
  NameBuffer NameRaw(int ordinal, int& result) {
    NameBuffer buffer;
    buffer.fill(kSentinel);
    result = NameModule(platform, ordinal, buffer.data());
    EXPECT_TRUE(platform.Balanced(kept)) << platform.Describe();
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
    const int result = OpenModuleBySerial(platform, &out, serial.c_str());
    if (result == 0) {
      EXPECT_EQ(out, kUnwritten) << "handle written although the result is 0";
      EXPECT_TRUE(platform.Balanced(kept)) << platform.Describe();
      return -1;
    }
    EXPECT_EQ(result, 1);
    ++kept;
    EXPECT_TRUE(platform.Balanced(kept)) << platform.Describe();
    if (handle != nullptr) {
      *handle = out;
    }
    return platform.InterfaceOf(out);
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
    platform.Close(h);
    --kept;
    EXPECT_TRUE(platform.Balanced(kept)) << platform.Describe();
  }

  sim::SimulatedPlatform platform;
  std::size_t kept = 0;
};

TEST_F(WalkTest, NothingAttached) {
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(Name(0), std::nullopt);
  EXPECT_EQ(Open(""), -1);
  EXPECT_EQ(Open("A"), -1);
}

TEST_F(WalkTest, ModulesAmongOtherInterfacesInWalkOrder) {
  platform.interfaces = {
      Keyboard("keyboard"),
      First("m-a", "A-100"),
      sim::OtherDevice("mouse", 0x046D, 0xC077),
      Second("m-b", "B-200"),
      sim::OtherDevice("other-vendor", 0x1234, kProductStandard),
      sim::Module("lenient", kVendorPrimary, kProductLenient, "L-1"),
      First("m-c", "C-300"),
  };
  EXPECT_EQ(Count(), 3);
  // One walk over 7 interfaces: a fresh list per index, the last one to find the end.
  EXPECT_EQ(platform.CountOps(Op::kOpenInterfaceList), 8u);

  EXPECT_EQ(Name(0), "A-100");
  EXPECT_EQ(Name(1), "B-200");
  EXPECT_EQ(Name(2), "C-300");
  for (int ordinal : {3, 4, -1, INT_MIN, INT_MAX}) {
    EXPECT_EQ(Name(ordinal), std::nullopt) << ordinal;
  }
  EXPECT_EQ(OpenAndRelease("C-300"), 6);
  EXPECT_EQ(OpenAndRelease("L-1"), -1);    // not a module in mode 0
  EXPECT_EQ(OpenAndRelease("OTHER"), -1);  // the other devices' serial

  // No interface list is open while a device is opened or asked for its serial number.
  std::size_t lists = 0;
  for (const sim::TraceEntry& e : platform.trace()) {
    lists += e.op == Op::kOpenInterfaceList;
    lists -= e.op == Op::kCloseInterfaceList;
    if (e.op == Op::kOpenDevicePath || e.op == Op::kGetSerialUnits) {
      EXPECT_EQ(lists, 0u);
    }
  }
}

TEST_F(WalkTest, NamingReadsOnlyTheRequestedModulesSerial) {
  platform.interfaces = {First("m-a", "A"), First("m-b", "B"), First("m-c", "C")};
  EXPECT_EQ(Name(1), "B");
  EXPECT_EQ(platform.CountOps(Op::kGetSerialUnits), 1u);
}

TEST_F(WalkTest, InterfacesPastIndex63AreNeverExamined) {
  for (int i = 0; i < 63; ++i) {
    platform.interfaces.push_back(Keyboard("kbd-" + std::to_string(i)));
  }
  platform.interfaces.push_back(First("m-63", "M63"));
  for (int i = 64; i < 70; ++i) {
    platform.interfaces.push_back(First("m-" + std::to_string(i), "M" + std::to_string(i)));
  }
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "M63");
  EXPECT_EQ(Name(1), std::nullopt);
  EXPECT_EQ(OpenAndRelease("M64"), -1);
  EXPECT_EQ(OpenAndRelease("M63"), 63);
  for (const sim::TraceEntry& e : platform.trace()) {
    EXPECT_LT(e.interface_index, 64) << "interface " << e.interface_index << " examined";
    if (e.op == Op::kGetInterfaceAt) {
      EXPECT_LT(e.value, 64u);
    }
  }
}

TEST_F(WalkTest, EachModeFindsItsOwnModules) {
  platform.interfaces = {
      Keyboard("keyboard"),
      First("first", "P"),
      sim::Module("lenient", kVendorPrimary, kProductLenient, "L"),
      Second("second", "S"),
  };
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

TEST_F(WalkTest, UnreadableSerialIsCountedHoldsItsOrdinalAndIsSkippedByOpen) {
  platform.interfaces = {First("m-a", "A"), SerialUnreadable(Second("m-u", "U")),
                         First("m-b", "B")};
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Name(0), "A");
  EXPECT_EQ(Name(1), std::nullopt);  // no later module moves up into its ordinal
  EXPECT_EQ(Name(2), "B");
  EXPECT_EQ(OpenAndRelease("B"), 2);
  EXPECT_EQ(OpenAndRelease(""), -1);
}

TEST_F(WalkTest, ModuleHeldElsewhereIsInvisible) {
  platform.interfaces = {First("m-a", "A"), Second("m-b", "B")};
  platform.interfaces[0].held_elsewhere = true;
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "B");
  EXPECT_EQ(OpenAndRelease("A"), -1);
  platform.interfaces[0].held_elsewhere = false;
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Name(0), "A");
}

TEST_F(WalkTest, OpenedModuleIsInvisibleUntilClosed) {
  platform.interfaces = {First("m-a", "A"), Second("m-b", "B")};
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

TEST_F(WalkTest, DuplicateSerialsOpenInWalkOrder) {
  platform.interfaces = {Keyboard("keyboard"), First("m-1", "DUP"), Second("m-2", "DUP")};
  DeviceHandle first = kUnwritten;
  DeviceHandle second = kUnwritten;
  EXPECT_EQ(Open("DUP", &first), 1);
  EXPECT_EQ(Open("DUP", &second), 2);
  EXPECT_EQ(Open("DUP"), -1);
  Release(first);
  Release(second);
}

TEST_F(WalkTest, SerialComparisonIsExact) {
  platform.interfaces = {First("m-x", "AbC1"), Second("m-empty", "")};
  const struct {
    const char* wanted;
    int index;
  } cases[] = {{"AbC1", 0},   {"abc1", -1},  {"ABC1", -1}, {"AbC", -1},
               {"AbC12", -1}, {"AbC1 ", -1}, {"", 1},      {" ", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(OpenAndRelease(c.wanted), c.index) << '"' << c.wanted << '"';
  }
}

TEST_F(WalkTest, SerialUnitsAreNarrowedToTheirLowByte) {
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
    platform.interfaces = {Keyboard("keyboard"), WithUnits(First("m", ""), c.units)};
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
  platform.interfaces = {WithUnits(First("m", ""), full)};
  EXPECT_EQ(OpenAndRelease(std::string(256, 'Z')), -1);
  EXPECT_EQ(OpenAndRelease(std::string(255, 'Z')), 0);
}

TEST_F(WalkTest, PathThatDoesNotFitEndsTheWalk) {
  platform.interfaces = {
      Keyboard("keyboard"),
      First(std::string(259, 'a'), "FITS"),
      First(std::string(260, 'b'), "TOO-LONG"),
      First("m-after", "AFTER"),
  };
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Name(0), "FITS");
  EXPECT_EQ(Name(1), std::nullopt);
  EXPECT_EQ(OpenAndRelease("FITS"), 1);
  EXPECT_EQ(OpenAndRelease("TOO-LONG"), -1);
  EXPECT_EQ(OpenAndRelease("AFTER"), -1);
  EXPECT_EQ(platform.CountOps(Op::kOpenDevicePath) % 2, 0u);  // mode 0: probe and open each
  for (const sim::TraceEntry& e : platform.trace()) {
    if (e.op == Op::kGetInterfaceAt) {
      EXPECT_LE(e.value, 2u) << "the walk looked past the long path";
    } else if (e.op != Op::kGetInterfacePath) {
      EXPECT_LT(e.interface_index, 2) << "the device behind the long path, or a later one, opened";
    }
  }
}

TEST(CloseModuleTest, NullAndAllOnesGiveZeroWithoutTouchingThePlatform) {
  sim::SimulatedPlatform platform;
  EXPECT_EQ(CloseModule(platform, nullptr), 0);
  EXPECT_EQ(CloseModule(platform, InvalidDeviceHandle()), 0);
  EXPECT_EQ(platform.CountOps(sim::Op::kClose), 0u);
}

TEST(CloseModuleTest, OpenHandleIsClosedOnce) {
  sim::SimulatedPlatform platform({sim::Module("m0", 0x17FE, 0x82CD, "A")});
  const DeviceHandle h = platform.OpenDevicePath("m0");
  ASSERT_FALSE(IsNoDevice(h));
  EXPECT_EQ(CloseModule(platform, h), 1);
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  // Once closed the device can be opened again.
  const DeviceHandle again = platform.OpenDevicePath("m0");
  EXPECT_FALSE(IsNoDevice(again));
  EXPECT_EQ(CloseModule(platform, again), 1);
}

TEST(CloseModuleTest, RefusedCloseStillGivesOne) {
  sim::SimulatedPlatform platform;
  EXPECT_EQ(CloseModule(platform, reinterpret_cast<DeviceHandle>(0x1234)), 1);
  EXPECT_EQ(platform.CountOps(sim::Op::kClose), 1u);
  EXPECT_EQ(platform.release_errors().size(), 1u);  // the platform was asked, and refused
}

}  // namespace
}  // namespace ksv
