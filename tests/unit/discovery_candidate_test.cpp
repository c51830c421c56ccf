// Which HID interfaces are modules under each mode, and how a candidate is opened: mode 0's probe
// of the first identity before the second, the double open, and one mode read per candidate.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "discovery/candidate.h"
#include "simulated_platform.h"

namespace ksv {
namespace {

using sim::Op;

constexpr DeviceIdentity kFirst{kVendorPrimary, kProductStandard};
constexpr DeviceIdentity kSecond{kVendorSecondary, kProductStandard};
constexpr DeviceIdentity kLenient{kVendorPrimary, kProductLenient};
constexpr DeviceIdentity kSecondLenient{kVendorSecondary, kProductLenient};
constexpr DeviceIdentity kKeyboard{0x046D, 0xC31C};
constexpr DeviceIdentity kOtherVendor{0x1234, kProductStandard};

sim::SimInterface Interface(const std::string& path, DeviceIdentity ids) {
  return sim::Module(path, ids.vendor, ids.product, path);
}

class CandidateTest : public ::testing::Test {
 protected:
  void TearDown() override { SetModuleMode(0); }
};

TEST_F(CandidateTest, EachModeAcceptsItsIdentitiesOnly) {
  const std::vector<DeviceIdentity> devices = {kFirst,         kSecond,   kLenient,
                                               kSecondLenient, kKeyboard, kOtherVendor};
  const struct {
    ModuleMode mode;
    std::vector<bool> is_module;  // per device above
  } cases[] = {
      {0, {true, true, false, false, false, false}},
      {1, {false, false, true, false, false, false}},
      {2, {true, false, false, false, false, false}},
      {3, {false, true, false, false, false, false}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetModuleMode(c.mode), 1);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      sim::SimulatedPlatform platform({Interface("dev", devices[i])});
      Device opened = OpenCandidate(platform, "dev");
      EXPECT_EQ(static_cast<bool>(opened), c.is_module[i]) << "mode " << c.mode << " device " << i;
      if (opened) {
        EXPECT_EQ(platform.InterfaceOf(opened.get()), 0);
        EXPECT_TRUE(platform.Balanced(1)) << platform.Describe();
      }
      opened.reset();
      EXPECT_TRUE(platform.Balanced()) << "mode " << c.mode << " device " << i;
    }
  }
}

TEST_F(CandidateTest, OperationsOfOneCandidate) {
  sim::SimInterface refusing = Interface("dev", kFirst);
  refusing.refuses_open = true;
  sim::SimInterface held = Interface("dev", kSecond);
  held.held_elsewhere = true;
  sim::SimInterface unreadable = Interface("dev", kFirst);
  unreadable.ids_unreadable = true;

  const std::vector<Op> kProbeThenKeep = {Op::kOpenDevicePath, Op::kGetDeviceIds, Op::kClose,
                                          Op::kOpenDevicePath, Op::kGetDeviceIds};
  const std::vector<Op> kProbeThenReject = {Op::kOpenDevicePath, Op::kGetDeviceIds, Op::kClose,
                                            Op::kOpenDevicePath, Op::kGetDeviceIds, Op::kClose};
  const struct {
    const char* what;
    ModuleMode mode;
    sim::SimInterface device;
    std::vector<Op> ops;
  } cases[] = {
      // Mode 0 opens every openable candidate twice: the probe, then the open that is kept.
      {"first identity", 0, Interface("dev", kFirst), kProbeThenKeep},
      {"second identity", 0, Interface("dev", kSecond), kProbeThenKeep},
      {"keyboard", 0, Interface("dev", kKeyboard), kProbeThenReject},
      {"identity unreadable", 0, unreadable, kProbeThenReject},
      // Refused opens read no identity; mode 0 still tries the second identity.
      {"refuses opening", 0, refusing, {Op::kOpenDevicePath, Op::kOpenDevicePath}},
      {"held elsewhere", 0, held, {Op::kOpenDevicePath, Op::kOpenDevicePath}},
      {"single identity, match",
       2,
       Interface("dev", kFirst),
       {Op::kOpenDevicePath, Op::kGetDeviceIds}},
      {"single identity, mismatch",
       3,
       Interface("dev", kFirst),
       {Op::kOpenDevicePath, Op::kGetDeviceIds, Op::kClose}},
      {"single identity, held elsewhere", 3, held, {Op::kOpenDevicePath}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetModuleMode(c.mode), 1);
    sim::SimulatedPlatform platform({c.device});
    Device opened = OpenCandidate(platform, "dev");
    std::vector<Op> ops;
    for (const sim::TraceEntry& e : platform.trace()) {
      ops.push_back(e.op);
    }
    EXPECT_EQ(ops, c.ops) << c.what;
    EXPECT_TRUE(platform.Balanced(opened ? 1 : 0)) << c.what << ": " << platform.Describe();
  }
}

// A device whose identity changes between the probe and the second open shows which identity
// each open is checked against: the probe uses the first, a failed probe falls back to the
// second (never to the first again), and a passed probe keeps the first.
TEST_F(CandidateTest, ProbeChecksTheFirstIdentityThenFallsBackToTheSecond) {
  const struct {
    DeviceIdentity at_probe;
    DeviceIdentity at_second_open;
    bool is_module;
  } cases[] = {
      {kFirst, kFirst, true},   {kFirst, kSecond, false},   {kSecond, kSecond, true},
      {kSecond, kFirst, false}, {kKeyboard, kSecond, true}, {kKeyboard, kFirst, false},
  };
  for (const auto& c : cases) {
    sim::SimulatedPlatform platform({Interface("dev", c.at_probe)});
    int opens = 0;
    platform.before_operation = [&](const sim::TraceEntry& e) {
      if (e.op == Op::kOpenDevicePath && ++opens == 2) {
        platform.interfaces[0].ids = c.at_second_open;
      }
    };
    const Device opened = OpenCandidate(platform, "dev");
    EXPECT_EQ(static_cast<bool>(opened), c.is_module)
        << std::hex << c.at_probe.vendor << " then " << c.at_second_open.vendor;
    EXPECT_EQ(opens, 2);
  }
}

TEST_F(CandidateTest, ModeIsReadOncePerCandidate) {
  sim::SimulatedPlatform platform({Interface("a", kFirst), Interface("b", kFirst)});
  // The mode changes to 3 while the first candidate is being probed: that candidate is still
  // judged under mode 0, the next one under mode 3.
  platform.before_operation = [](const sim::TraceEntry& e) {
    if (e.op == Op::kGetDeviceIds && CurrentMode() == 0) {
      SetModuleMode(3);
    }
  };
  Device a = OpenCandidate(platform, "a");
  EXPECT_TRUE(a) << "the first candidate was judged under a mode read after its probe";
  EXPECT_FALSE(OpenCandidate(platform, "b"));
  a.reset();
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
}

TEST_F(CandidateTest, OpenMatchingDeviceWantsBothIds) {
  sim::SimulatedPlatform platform({Interface("dev", kFirst)});
  for (DeviceIdentity wanted : {kSecond, kLenient, DeviceIdentity{}}) {
    EXPECT_FALSE(OpenMatchingDevice(platform, "dev", wanted)) << std::hex << wanted.vendor;
  }
  EXPECT_FALSE(OpenMatchingDevice(platform, "no such path", kFirst));
  Device opened = OpenMatchingDevice(platform, "dev", kFirst);
  ASSERT_TRUE(opened);
  // Exclusive: a second open of the same device is refused while the first is held.
  EXPECT_FALSE(OpenMatchingDevice(platform, "dev", kFirst));
  EXPECT_TRUE(platform.Balanced(1)) << platform.Describe();
}

}  // namespace
}  // namespace ksv
