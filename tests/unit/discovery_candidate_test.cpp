// Which HID interfaces are modules under each mode, and how a candidate is opened: once, in every
// mode, with one mode read per candidate.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "discovery/candidate.h"
#include "fault_injecting_platform.h"

namespace ksv {
namespace {

using test::Op;

constexpr DeviceIdentity kFirst{kVendorPrimary, kProductStandard};
constexpr DeviceIdentity kSecond{kVendorSecondary, kProductStandard};
constexpr DeviceIdentity kLenient{kVendorPrimary, kProductLenient};
constexpr DeviceIdentity kSecondLenient{kVendorSecondary, kProductLenient};
constexpr DeviceIdentity kKeyboard{0x046D, 0xC31C};
constexpr DeviceIdentity kOtherVendor{0x1234, kProductStandard};

SimulatedDevice Interface(const std::string& path, DeviceIdentity ids) {
  return test::Module(path, ids.vendor, ids.product, path);
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
      test::ScriptedPlatform platform({Interface("dev", devices[i])});
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
  test::DeviceFaults refusing;
  refusing.refuses_open = true;
  SimulatedDevice held = Interface("dev", kSecond);
  held.busy = true;
  test::DeviceFaults unreadable;
  unreadable.ids_unreadable = true;

  const std::vector<Op> kKeep = {Op::kOpenDevicePath, Op::kGetDeviceIds};
  const std::vector<Op> kReject = {Op::kOpenDevicePath, Op::kGetDeviceIds, Op::kClose};
  const struct {
    const char* what;
    ModuleMode mode;
    SimulatedDevice device;
    std::vector<Op> ops;
    test::DeviceFaults faults = {};
  } cases[] = {
      // Mode 0 accepts either identity from the one open.
      {"first identity", 0, Interface("dev", kFirst), kKeep},
      {"second identity", 0, Interface("dev", kSecond), kKeep},
      {"keyboard", 0, Interface("dev", kKeyboard), kReject},
      {"identity unreadable", 0, Interface("dev", kFirst), kReject, unreadable},
      // Refused opens read no identity and are not tried again.
      {"refuses opening", 0, Interface("dev", kFirst), {Op::kOpenDevicePath}, refusing},
      {"held elsewhere", 0, held, {Op::kOpenDevicePath}},
      {"lenient identity", 1, Interface("dev", kLenient), kKeep},
      {"lenient mode, standard product", 1, Interface("dev", kFirst), kReject},
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
    test::ScriptedPlatform platform({c.device});
    platform.faults("dev") = c.faults;
    Device opened = OpenCandidate(platform, "dev");
    std::vector<Op> ops;
    for (const test::TraceEntry& e : platform.trace()) {
      ops.push_back(e.op);
    }
    EXPECT_EQ(ops, c.ops) << c.what;
    EXPECT_TRUE(platform.Balanced(opened ? 1 : 0)) << c.what << ": " << platform.Describe();
  }
}

// Every mode opens a candidate exactly once, whatever it turns out to be: no handle is closed and
// opened again, so nobody can take the module in between.
TEST_F(CandidateTest, EveryModeOpensACandidateOnce) {
  const struct {
    ModuleMode mode;
    DeviceIdentity device;
    bool is_module;
  } cases[] = {
      {0, kFirst, true},   {0, kSecond, true}, {0, kKeyboard, false}, {0, kSecondLenient, false},
      {1, kLenient, true}, {1, kFirst, false}, {2, kFirst, true},     {2, kSecond, false},
      {3, kSecond, true},  {3, kFirst, false},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetModuleMode(c.mode), 1);
    test::ScriptedPlatform platform({Interface("dev", c.device)});
    const Device opened = OpenCandidate(platform, "dev");
    EXPECT_EQ(static_cast<bool>(opened), c.is_module)
        << "mode " << c.mode << " " << std::hex << c.device.vendor << ":" << c.device.product;
    EXPECT_EQ(platform.CountOps(Op::kOpenDevicePath), 1u) << "mode " << c.mode;
    EXPECT_EQ(platform.CountOps(Op::kClose), c.is_module ? 0u : 1u) << "mode " << c.mode;
  }
}

TEST_F(CandidateTest, ModeIsReadOncePerCandidate) {
  test::ScriptedPlatform platform({Interface("a", kFirst), Interface("b", kFirst)});
  // The mode changes to 3 while the first candidate's IDs are read: that candidate is still
  // judged under mode 0, the next one under mode 3.
  platform.before_operation = [](const test::TraceEntry& e) {
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

TEST_F(CandidateTest, OpenMatchingDeviceWantsBothIdsOfOneIdentity) {
  test::ScriptedPlatform platform({Interface("dev", kFirst)});
  const ModeIdentities refused[] = {
      {kSecond, kLenient, 2},
      {DeviceIdentity{}, DeviceIdentity{}, 2},
      {kSecondLenient, kOtherVendor, 2},
      // The second identity counts only when there are two.
      {kSecond, kFirst, 1},
  };
  for (const ModeIdentities& wanted : refused) {
    EXPECT_FALSE(OpenMatchingDevice(platform, "dev", wanted))
        << std::hex << wanted.first.vendor << " " << wanted.second.vendor << " " << wanted.count;
  }
  EXPECT_FALSE(OpenMatchingDevice(platform, "no such path", {kFirst, kFirst, 1}));
  EXPECT_TRUE(OpenMatchingDevice(platform, "dev", {kSecond, kFirst, 2}));
  Device opened = OpenMatchingDevice(platform, "dev", {kFirst, kSecond, 1});
  ASSERT_TRUE(opened);
  // Exclusive: a second open of the same device is refused while the first is held.
  EXPECT_FALSE(OpenMatchingDevice(platform, "dev", {kFirst, kSecond, 2}));
  EXPECT_TRUE(platform.Balanced(1)) << platform.Describe();
}

}  // namespace
}  // namespace ksv
