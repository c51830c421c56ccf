// The simulator library as an application meets it: loaded by path with dlopen, called through
// its seven exports; and its diagnose companion, linked as an application links it.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "KSVHidDiagnose.h"
#include "simulator_scenarios.h"

namespace ksv::test {
namespace {

SimulatorRun Simulator() { return {KSV_SIMULATOR_LIBRARY, ::testing::TempDir()}; }

void ExpectNone(const std::vector<std::string>& failures) {
  for (const std::string& failure : failures) {
    ADD_FAILURE() << failure;
  }
}

TEST(SimulatorLibraryTest, BuiltInSet) { ExpectNone(CheckBuiltInSet(Simulator())); }
TEST(SimulatorLibraryTest, FileDescribedSet) { ExpectNone(CheckFileDescribedSet(Simulator())); }
TEST(SimulatorLibraryTest, ExclusivityWithinTheProcess) {
  ExpectNone(CheckExclusivity(Simulator()));
}
TEST(SimulatorLibraryTest, BadFilesGiveNoModulesAndOneLine) {
  ExpectNone(CheckBadFiles(Simulator()));
}

// A diagnosis is made under the mode asked for, and only one this library handed out and has
// not taken back is released.
TEST(SimulatorLibraryTest, DiagnoseHandsOutAndTakesBackOnlyItsOwn) {
  KSVHidDiagnosis before{};
  KSVHidDiagnosis* const untouched = &before;
  KSVHidDiagnosis* d = untouched;
  EXPECT_EQ(KSVHidDiagnose(4, &d), KSVHID_DIAGNOSE_BAD_MODE);
  EXPECT_EQ(KSVHidDiagnose(-1, &d), KSVHID_DIAGNOSE_BAD_MODE);
  EXPECT_EQ(d, untouched);
  ASSERT_EQ(KSVHidDiagnose(1, &d), 1);
  EXPECT_EQ(d->mode, 1);
  ASSERT_EQ(d->interface_count, 7u);  // the keyboard, five modules of mode 0 or 1, no serial
  EXPECT_EQ(d->module_count, 2u);     // mode 1: the lenient module and the one without serial
  EXPECT_EQ(d->interfaces[0].reason, KSVHID_REASON_OTHER_IDS);
  EXPECT_STREQ(d->interfaces[0].path, "sim:keyboard");
  EXPECT_EQ(d->interfaces[6].reason, KSVHID_REASON_SERIAL_UNREADABLE);
  KSVHidDiagnosis foreign = *d;
  EXPECT_EQ(KSVHidDiagnosisFree(&foreign), 0);
  EXPECT_EQ(KSVHidDiagnosisFree(nullptr), 0);
  EXPECT_EQ(KSVHidDiagnosisFree(d), 1);
  EXPECT_EQ(KSVHidDiagnosisFree(d), 0);  // already taken back: nothing is released twice
}

}  // namespace
}  // namespace ksv::test
