// The device path at one interface index: the bound, a fresh list per lookup, paths that do not
// fit the buffer, and what a failure leaves behind.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/interface_walk.h"
#include "simulated_platform.h"

namespace ksv {
namespace {

constexpr char kSentinel = '\x5A';

DevicePath SentinelPath() {
  DevicePath path;
  path.fill(kSentinel);
  return path;
}

bool Untouched(const DevicePath& path) {
  return std::all_of(path.begin(), path.end(), [](char c) { return c == kSentinel; });
}

std::vector<sim::SimInterface> Keyboards(std::size_t n) {
  std::vector<sim::SimInterface> list;
  for (std::size_t i = 0; i < n; ++i) {
    list.push_back(sim::OtherDevice("hid-" + std::to_string(i), 0x046D, 0xC31C));
  }
  return list;
}

TEST(FindHidInterfacePathTest, OnlyIndicesBelowTheBoundYieldPaths) {
  sim::SimulatedPlatform platform(Keyboards(70));
  for (std::uint32_t i = 0; i < 70; ++i) {
    DevicePath path = SentinelPath();
    const bool found = FindHidInterfacePath(platform, i, path);
    EXPECT_EQ(found, i < kInterfaceIndexBound) << i;
    if (found) {
      EXPECT_EQ(std::string(path.data()), "hid-" + std::to_string(i));
    } else {
      EXPECT_TRUE(Untouched(path)) << i;
    }
    EXPECT_TRUE(platform.Balanced()) << i << ": " << platform.Describe();
  }
  for (const sim::TraceEntry& e : platform.trace()) {
    if (e.op == sim::Op::kGetInterfaceAt) {
      EXPECT_LT(e.value, kInterfaceIndexBound) << "an interface past the bound was looked up";
    }
  }
}

TEST(FindHidInterfacePathTest, EveryLookupSeesTheInterfacesPresentNow) {
  sim::SimulatedPlatform platform(Keyboards(2));
  DevicePath path = SentinelPath();
  ASSERT_TRUE(FindHidInterfacePath(platform, 0, path));
  EXPECT_STREQ(path.data(), "hid-0");
  // A device arrives in front: the next lookup of the same index must not reuse an old list.
  platform.interfaces.insert(platform.interfaces.begin(),
                             sim::OtherDevice("arrived", 0x046D, 0xC077));
  ASSERT_TRUE(FindHidInterfacePath(platform, 0, path));
  EXPECT_STREQ(path.data(), "arrived");
  EXPECT_EQ(platform.CountOps(sim::Op::kOpenInterfaceList), 2u);
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
}

TEST(FindHidInterfacePathTest, PathMustFitWithItsTerminator) {
  const struct {
    std::size_t length;
    bool fits;
  } cases[] = {{1, true}, {258, true}, {259, true}, {260, false}, {261, false}, {1000, false}};
  for (const auto& c : cases) {
    const std::string long_path(c.length, 'p');
    sim::SimulatedPlatform platform({sim::OtherDevice(long_path, 0x046D, 0xC31C)});
    DevicePath path = SentinelPath();
    EXPECT_EQ(FindHidInterfacePath(platform, 0, path), c.fits) << c.length;
    if (c.fits) {
      EXPECT_EQ(std::string(path.data()), long_path);
      // Exactly the text and its terminator are written.
      EXPECT_TRUE(std::all_of(path.begin() + static_cast<std::ptrdiff_t>(c.length) + 1, path.end(),
                              [](char ch) { return ch == kSentinel; }))
          << c.length;
    } else {
      EXPECT_TRUE(Untouched(path)) << c.length;
    }
    EXPECT_TRUE(platform.Balanced()) << c.length << ": " << platform.Describe();
  }
}

TEST(FindHidInterfacePathTest, EachFailingStepYieldsNothingAndReleasesWhatWasHad) {
  // The lookup's operations in order: build the list, look up the interface, get its path.
  for (std::uint64_t k : {1u, 2u, 3u}) {
    sim::SimulatedPlatform platform(Keyboards(1));
    platform.fail_operation = k;
    DevicePath path = SentinelPath();
    EXPECT_FALSE(FindHidInterfacePath(platform, 0, path)) << k;
    EXPECT_TRUE(Untouched(path)) << k;
    EXPECT_TRUE(platform.Balanced()) << k << ": " << platform.Describe();
  }
}

}  // namespace
}  // namespace ksv
