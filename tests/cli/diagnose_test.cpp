// The diagnose companion's logic over the scripted platform, and ksvhid's words for it: each way
// an interface can fail to be listed gives its own reason, the walk's bound shows, and everything
// opened is closed again.
#include "diagnose.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "diagnose/diagnosis.h"
#include "diagnose/interface_diagnosis.h"
#include "discovery/interface_walk.h"
#include "fault_injecting_platform.h"

namespace ksv::test {
namespace {

using Reason = UnlistedReason;

constexpr long kHolderPid = 4242;

std::vector<long long> g_holder_lookups;

std::string FakeCommand(long long pid) {
  g_holder_lookups.push_back(pid);
  return "flock /dev/x sleep 30";
}

DeviceFaults With(bool DeviceFaults::*flag) {
  DeviceFaults f;
  f.*flag = true;
  return f;
}

struct Row {
  const char* what;
  SimulatedDevice device;
  ModuleMode mode;
  bool module;
  Reason reason;
  std::optional<std::string> serial;
  bool ids_known;
  DeviceFaults faults = {};
};

TEST(DiagnoseTest, EachInterfaceWithItsReason) {
  const SimulatedDevice primary = test::Module("p", kVendorPrimary, kProductStandard, "M-1");
  SimulatedDevice held = primary;
  held.busy = true;
  SimulatedDevice no_serial = test::Module("n", kVendorPrimary, kProductLenient, "");
  no_serial.serial.reset();
  const std::vector<Row> rows{
      {"module", primary, kDefaultMode, true, Reason::kNone, "M-1", true},
      {"second vendor in mode 0", test::Module("s", kVendorSecondary, kProductStandard, "S-1"),
       kDefaultMode, true, Reason::kNone, "S-1", true},
      {"second vendor in mode 2", test::Module("s", kVendorSecondary, kProductStandard, "S-1"),
       kPrimaryVendorMode, false, Reason::kOtherIds, "S-1", true},
      {"keyboard", test::OtherDevice("k", 0x1209, 0x0001), kDefaultMode, false, Reason::kOtherIds,
       "OTHER", true},
      {"unreadable serial", no_serial, kLenientMode, true, Reason::kSerialUnreadable, std::nullopt,
       true},
      {"unreadable serial, other mode", no_serial, kDefaultMode, false, Reason::kOtherIds,
       std::nullopt, true},
      {"access denied", primary, kDefaultMode, false, Reason::kAccessDenied, std::nullopt, false,
       With(&DeviceFaults::refuses_open)},
      {"held by another program", held, kDefaultMode, false, Reason::kInUse, std::nullopt, false},
      {"IDs unreadable", primary, kDefaultMode, false, Reason::kIdsUnreadable, "M-1", false,
       With(&DeviceFaults::ids_unreadable)},
      {"path unreadable", primary, kDefaultMode, false, Reason::kPathUnreadable, std::nullopt,
       false, With(&DeviceFaults::path_unreadable)},
      {"path too long",
       test::Module(std::string(kDevicePathBytes, 'p'), kVendorPrimary, kProductStandard, "M-1"),
       kDefaultMode, false, Reason::kPathTooLong, std::nullopt, false},
  };
  // Each row where candidates are opened to examine them (Windows), and where they are described
  // (Linux): a description also gives the IDs of a device that cannot be opened, and the holder.
  for (const bool describes : {false, true})
    for (Row row : rows) {
      SCOPED_TRACE(row.what + std::string(describes ? ", described" : ", opened"));
      row.faults.holder = kHolderPid;
      const bool in_use = row.reason == Reason::kInUse;
      if (describes && (in_use || row.reason == Reason::kAccessDenied)) {
        row.ids_known = true;
        row.serial = "M-1";
      }
      ScriptedPlatform platform({test::OtherDevice("first", 0x046D, 0xC077), row.device});
      platform.faults(row.device.path) = row.faults;
      platform.tells =
          describes ? ScriptedPlatform::Telling::kAll : ScriptedPlatform::Telling::kNothing;
      ASSERT_EQ(SetModuleMode(row.mode), 1);
      g_holder_lookups.clear();
      const auto reports = DiagnoseInterfaces(platform, FakeCommand);
      SetModuleMode(kDefaultMode);
      ASSERT_TRUE(reports);
      ASSERT_EQ(reports->size(), 2u);
      EXPECT_EQ((*reports)[0].reason, Reason::kOtherIds);
      const InterfaceReport& got = (*reports)[1];
      EXPECT_EQ(got.index, 1u);
      EXPECT_EQ(got.path, row.reason == Reason::kPathUnreadable ? "" : row.device.path);
      EXPECT_EQ(got.module, row.module);
      EXPECT_EQ(got.reason, row.reason) << tool::ReasonKey(static_cast<int>(got.reason));
      EXPECT_EQ(got.serial, row.serial);
      EXPECT_EQ(got.ids.has_value(), row.ids_known);
      if (got.ids && row.ids_known) {
        EXPECT_EQ(*got.ids, row.device.ids);
      }
      // The holder's command is looked up for a node in use whose holder the system names.
      const bool named = in_use && describes;
      EXPECT_EQ(g_holder_lookups,
                named ? std::vector<long long>{kHolderPid} : std::vector<long long>{});
      EXPECT_EQ(got.holder.has_value(), named);
      EXPECT_EQ(got.open_error, row.reason == Reason::kAccessDenied ? kErrorAccessDenied
                                : in_use                            ? kErrorSharingViolation
                                                                    : 0u);
      EXPECT_TRUE(platform.Balanced()) << platform.Describe();
    }
}

TEST(DiagnoseTest, InterfacesPastTheBoundAreShownWithThatReason) {
  std::vector<SimulatedDevice> devices;
  for (std::uint32_t i = 0; i < kInterfaceIndexBound + 2; ++i) {
    devices.push_back(test::Module("m" + std::to_string(i), kVendorPrimary, kProductStandard, "M"));
  }
  ScriptedPlatform platform(devices);
  const auto reports = DiagnoseInterfaces(platform, FakeCommand);
  ASSERT_TRUE(reports);
  ASSERT_EQ(reports->size(), kInterfaceIndexBound + 2);
  EXPECT_TRUE((*reports)[kInterfaceIndexBound - 1].module);
  for (std::uint32_t i = kInterfaceIndexBound; i < kInterfaceIndexBound + 2; ++i) {
    EXPECT_FALSE((*reports)[i].module) << i;
    EXPECT_EQ((*reports)[i].reason, Reason::kPastBound) << i;
    EXPECT_EQ((*reports)[i].serial, "M") << i;  // still shown, for the user to recognise it
  }
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
  const std::string json = tool::FormatDiagnosis(MakeDiagnosis(kDefaultMode, *reports)->view, true);
  EXPECT_NE(json.find("\"modules\":64,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"index\":65,\"path\":\"m65\",\"ids\":\"17fe:82cd\",\"module\":false"),
            std::string::npos)
      << json;
}

TEST(DiagnoseTest, NoListIsAFailureToLook) {
  ScriptedPlatform platform({test::Module("p", kVendorPrimary, kProductStandard, "M-1")});
  platform.fail_operation = 2;  // the interface list, after the walk lock
  EXPECT_FALSE(DiagnoseInterfaces(platform, FakeCommand));
  EXPECT_TRUE(platform.Balanced()) << platform.Describe();
}

TEST(DiagnoseTest, ReportNamesTheHolderAndTheAdvice) {
  InterfaceReport in_use;
  in_use.index = 0;
  in_use.path = "/dev/hidraw3";
  in_use.reason = Reason::kInUse;
  in_use.open_error = kErrorSharingViolation;
  in_use.holder = Holder{kHolderPid, "flock /dev/hidraw3 sleep 30"};
  InterfaceReport denied;
  denied.index = 1;
  denied.path = R"(\\?\hid#ksv-)"
                "\xC5\x82"
                "-1";  // Wine puts the serial number in the path
  denied.reason = Reason::kAccessDenied;
  denied.open_error = kErrorAccessDenied;
  const auto diagnosis = MakeDiagnosis(kDefaultMode, {in_use, denied});
  const std::string text = tool::FormatDiagnosis(diagnosis->view, false);
  EXPECT_NE(text.find("2 HID interfaces, 0 modules (mode 0)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("in use by another program: PID 4242 (flock /dev/hidraw3 sleep 30)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(std::string("access denied: this user may not open it") +
                      (std::string(tool::AccessDeniedAdvice()).empty() ? "" : " (")),
            std::string::npos)
      << text;
  const std::string json = tool::FormatDiagnosis(diagnosis->view, true);
  EXPECT_NE(json.find("\"reason\":\"in_use\",\"detail\":\"in use by another program: PID 4242 "
                      "(flock /dev/hidraw3 sleep 30)\",\"error\":32,\"holder\":{\"pid\":4242,"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"reason\":\"access_denied\""), std::string::npos) << json;
  // The path in UTF-8 for people, and in JSON as the escape of its character.
  EXPECT_NE(text.find(R"(  1  \\\\?\\hid#ksv-)"
                      "\xC5\x82"
                      "-1  ????:????"),
            std::string::npos)
      << text;
  EXPECT_NE(json.find(R"("path":"\\\\\\\\?\\\\hid#ksv-\u0142-1")"), std::string::npos) << json;
}

}  // namespace
}  // namespace ksv::test
