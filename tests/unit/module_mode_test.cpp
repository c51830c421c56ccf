#include "core/module_mode.h"

#include <gtest/gtest.h>

namespace ksv {
namespace {

constexpr DeviceIdentity kPrimaryStandard{0x17FE, 0x82CD};
constexpr DeviceIdentity kSecondaryStandard{0x10C4, 0x82CD};
constexpr DeviceIdentity kPrimaryLenient{0x17FE, 0x8200};

// Runs first in this binary (the suite is declared first): nothing has set a mode yet.
TEST(ModuleModeStart, StartsAtModeZero) { EXPECT_EQ(CurrentMode(), 0); }

class ModuleModeTest : public ::testing::Test {
 protected:
  void TearDown() override { SetModuleMode(0); }
};

TEST_F(ModuleModeTest, AcceptsEachValidModeAndKeepsIt) {
  for (int mode : {1, 2, 3, 0}) {
    EXPECT_EQ(SetModuleMode(mode), 1) << mode;
    EXPECT_EQ(CurrentMode(), mode);
  }
}

TEST_F(ModuleModeTest, OutOfRangeResetsAnEarlierModeToZero) {
  for (int bad : {4, -1, 100, INT32_MIN, INT32_MAX}) {
    ASSERT_EQ(SetModuleMode(2), 1);
    EXPECT_EQ(SetModuleMode(bad), 0) << bad;
    EXPECT_EQ(CurrentMode(), 0) << "after " << bad;
  }
}

TEST_F(ModuleModeTest, IdentityTable) {
  const ModeIdentities mode0 = IdentitiesFor(0);
  ASSERT_EQ(mode0.count, 2u);
  EXPECT_EQ(mode0.first, kPrimaryStandard);  // probed first
  EXPECT_EQ(mode0.second, kSecondaryStandard);

  const struct {
    ModuleMode mode;
    DeviceIdentity identity;
  } single[] = {{1, kPrimaryLenient}, {2, kPrimaryStandard}, {3, kSecondaryStandard}};
  for (const auto& row : single) {
    const ModeIdentities ids = IdentitiesFor(row.mode);
    EXPECT_EQ(ids.count, 1u) << row.mode;
    EXPECT_EQ(ids.first, row.identity) << row.mode;
  }
}

TEST_F(ModuleModeTest, ReplyRulesOnlyRelaxedInModeOne) {
  EXPECT_TRUE(RequiresFullReply(0));
  EXPECT_FALSE(RequiresFullReply(1));
  EXPECT_TRUE(RequiresFullReply(2));
  EXPECT_TRUE(RequiresFullReply(3));
  EXPECT_FALSE(AcceptsReportId3(0));
  EXPECT_TRUE(AcceptsReportId3(1));
  EXPECT_FALSE(AcceptsReportId3(2));
  EXPECT_FALSE(AcceptsReportId3(3));
}

}  // namespace
}  // namespace ksv
