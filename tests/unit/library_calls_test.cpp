#include "api/library_calls.h"

#include <gtest/gtest.h>

#include "simulated_platform.h"

namespace ksv {
namespace {

TEST(VersionTest, WritesExactlyTheTripleAndGivesOne) {
  int v[5] = {-7, -7, -7, -7, -7};
  EXPECT_EQ(WriteVersion(&v[1], &v[2], &v[3]), 1);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[2], 3);
  EXPECT_EQ(v[3], 170);
  EXPECT_EQ(v[0], -7);  // neighbours untouched
  EXPECT_EQ(v[4], -7);
}

TEST(CloseTest, NullAndAllOnesGiveZeroWithoutTouchingThePlatform) {
  sim::SimulatedPlatform platform;
  EXPECT_EQ(CloseDevice(platform, nullptr), 0);
  EXPECT_EQ(CloseDevice(platform, InvalidDeviceHandle()), 0);
  EXPECT_EQ(platform.CountOps(sim::Op::kClose), 0u);
}

TEST(CloseTest, OpenHandleIsClosedOnce) {
  sim::SimulatedPlatform platform({sim::Module("m0", 0x17FE, 0x82CD, "A")});
  const DeviceHandle h = platform.OpenDevicePath("m0");
  ASSERT_FALSE(IsNoDevice(h));
  EXPECT_EQ(CloseDevice(platform, h), 1);
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  // Once closed the device can be opened again.
  const DeviceHandle again = platform.OpenDevicePath("m0");
  EXPECT_FALSE(IsNoDevice(again));
  EXPECT_EQ(CloseDevice(platform, again), 1);
}

TEST(CloseTest, RefusedCloseStillGivesOne) {
  sim::SimulatedPlatform platform;
  EXPECT_EQ(CloseDevice(platform, reinterpret_cast<DeviceHandle>(0x1234)), 1);
  EXPECT_EQ(platform.CountOps(sim::Op::kClose), 1u);
  EXPECT_EQ(platform.release_errors().size(), 1u);  // the platform was asked, and refused
}

}  // namespace
}  // namespace ksv
