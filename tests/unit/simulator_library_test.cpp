// The simulator library as an application meets it: loaded by path with dlopen, called through
// its seven exports.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ksv::test
