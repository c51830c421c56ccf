// The device path at one index of a held interface list: the bound, indices that stay put while
// devices come and go, paths that do not fit the buffer, and what a failure leaves behind.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/interface_walk.h"
#include "fault_injecting_platform.h"
#include "fill_markers.h"

namespace ksv {
namespace {

using test::kSentinel;

DevicePath SentinelPath() {
  DevicePath path;
  path.fill(kSentinel);
  return path;
}

bool Untouched(const DevicePath& path) {
  return std::all_of(path.begin(), path.end(), [](char c) { return c == kSentinel; });
}

std::vector<SimulatedDevice> Keyboards(std::size_t n) {
  std::vector<SimulatedDevice> list;
  for (std::size_t i = 0; i < n; ++i) {
    list.push_back(test::OtherDevice("hid-" + std::to_string(i), 0x046D, 0xC31C));
  }
  return list;
}

TEST(FindHidInterfacePathTest, OnlyIndicesBelowTheBoundYieldPaths) {
  test::ScriptedPlatform platform(Keyboards(70));
  {
    const HidInterfaces interfaces = ListHidInterfaces(platform);
    for (std::uint32_t i = 0; i < 70; ++i) {
      DevicePath path = SentinelPath();
      const PathLookup lookup = FindHidInterfacePath(platform, interfaces, i, path);
      EXPECT_EQ(lookup, i < kInterfaceIndexBound ? PathLookup::kFound : PathLookup::kEnd) << i;
      if (lookup == PathLookup::kFound) {
        EXPECT_EQ(std::string(path.data()), "hid-" + std::to_string(i));
      } else {
        EXPECT_TRUE(Untouched(path)) << i;
      }
      EXPECT_EQ(platform.open_lists(), 1u);
      EXPECT_EQ(platform.open_path_blocks(), 0u) << i;
    }
  }
  EXPECT_EQ(platform.CountOps(test::Op::kOpenInterfaceList), 1u);
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  for (const test::TraceEntry& e : platform.trace()) {
    if (e.op == test::Op::kGetInterfaceAt) {
      EXPECT_LT(e.value, kInterfaceIndexBound) << "an interface past the bound was looked up";
    }
  }
}

TEST(FindHidInterfacePathTest, IndicesStayPutWhileTheListIsHeld) {
  std::vector<SimulatedDevice> devices = Keyboards(2);
  devices.insert(devices.begin(), test::OtherDevice("arrived", 0x046D, 0xC077));
  test::ScriptedPlatform platform(devices);
  platform.faults("arrived").absent = true;
  {
    const HidInterfaces interfaces = ListHidInterfaces(platform);
    DevicePath path = SentinelPath();
    ASSERT_EQ(FindHidInterfacePath(platform, interfaces, 0, path), PathLookup::kFound);
    EXPECT_STREQ(path.data(), "hid-0");
    // A device arrives in front: the held list does not shift.
    platform.faults("arrived").absent = false;
    ASSERT_EQ(FindHidInterfacePath(platform, interfaces, 1, path), PathLookup::kFound);
    EXPECT_STREQ(path.data(), "hid-1");
    EXPECT_EQ(FindHidInterfacePath(platform, interfaces, 2, path), PathLookup::kEnd);
  }
  // A list built afterwards sees it.
  const HidInterfaces fresh = ListHidInterfaces(platform);
  DevicePath path = SentinelPath();
  ASSERT_EQ(FindHidInterfacePath(platform, fresh, 0, path), PathLookup::kFound);
  EXPECT_STREQ(path.data(), "arrived");
  EXPECT_EQ(platform.CountOps(test::Op::kOpenInterfaceList), 2u);
}

TEST(FindHidInterfacePathTest, PathMustFitWithItsTerminator) {
  // The bound counts UTF-16 units of the UTF-8 text: "\xC5\x81" (U+0141) is one unit in two bytes,
  // "\xE2\x82\xAC" (U+20AC) one in three, "\xF0\x9F\x94\x8C" (U+1F50C) two in four.
  const auto repeat = [](std::size_t n, const std::string& part) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
      text += part;
    }
    return text;
  };
  const struct {
    const char* what;
    std::string text;
    bool fits;
  } cases[] = {
      {"1 ASCII", "p", true},
      {"258 ASCII", std::string(258, 'p'), true},
      {"259 ASCII", std::string(259, 'p'), true},
      {"260 ASCII", std::string(260, 'p'), false},
      {"261 ASCII", std::string(261, 'p'), false},
      {"1000 ASCII", std::string(1000, 'p'), false},
      {"259 two-byte", repeat(259, "\xC5\x81"), true},
      {"260 two-byte", repeat(260, "\xC5\x81"), false},
      {"259 three-byte: the longest text that fits", repeat(259, "\xE2\x82\xAC"), true},
      {"260 three-byte", repeat(260, "\xE2\x82\xAC"), false},
      {"257 ASCII and a pair", std::string(257, 'p') + "\xF0\x9F\x94\x8C", true},
      {"258 ASCII and a pair", std::string(258, 'p') + "\xF0\x9F\x94\x8C", false},
      {"259 malformed bytes", std::string(259, '\xC5'), true},
      {"260 malformed bytes", std::string(260, '\x81'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScriptedPlatform platform({test::OtherDevice(c.text, 0x046D, 0xC31C)});
    DevicePath path = SentinelPath();
    {
      const HidInterfaces interfaces = ListHidInterfaces(platform);
      EXPECT_EQ(FindHidInterfacePath(platform, interfaces, 0, path),
                c.fits ? PathLookup::kFound : PathLookup::kSkipped);
    }
    EXPECT_EQ(FittingPathLength(c.text.c_str()).has_value(), c.fits);
    if (c.fits) {
      EXPECT_EQ(std::string(path.data()), c.text);
      // Exactly the text and its terminator are written.
      EXPECT_TRUE(std::all_of(path.begin() + static_cast<std::ptrdiff_t>(c.text.size()) + 1,
                              path.end(), [](char ch) { return ch == kSentinel; }));
    } else {
      EXPECT_TRUE(Untouched(path));
    }
    EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  }
}

TEST(FindHidInterfacePathTest, EachFailingStepYieldsNothingAndReleasesWhatWasHad) {
  // The lookup's operations in order: build the list, look up the interface, get its path. Only
  // a list that cannot be built ends the walk; a failure for one interface passes over it.
  const struct {
    const char* what;
    std::uint64_t fail_operation;
    bool leaves_after_listing;
    bool path_unreadable;
    PathLookup lookup;
  } cases[] = {
      {"list", 1, false, false, PathLookup::kEnd},
      {"lookup", 2, false, false, PathLookup::kSkipped},
      {"path", 3, false, false, PathLookup::kSkipped},
      {"left after listing", 0, true, false, PathLookup::kSkipped},
      {"path unreadable", 0, false, true, PathLookup::kSkipped},
  };
  for (const auto& c : cases) {
    test::ScriptedPlatform platform(Keyboards(1));
    platform.fail_operation = c.fail_operation;
    platform.faults("hid-0").path_unreadable = c.path_unreadable;
    DevicePath path = SentinelPath();
    {
      const HidInterfaces interfaces = ListHidInterfaces(platform);
      platform.faults("hid-0").absent = c.leaves_after_listing;
      EXPECT_EQ(FindHidInterfacePath(platform, interfaces, 0, path), c.lookup) << c.what;
    }
    EXPECT_TRUE(Untouched(path)) << c.what;
    EXPECT_TRUE(platform.Balanced()) << c.what << ": " << platform.Describe();
  }
}

}  // namespace
}  // namespace ksv
