// Every platform operation of a walk, failed in turn: the result must be one the scenario allows,
// out-arguments are written only on 1, and everything acquired is released, whichever step fails.
// Each operation is also made to throw: through the exports' guard the walk gives its "not found"
// result, and the owners release everything as the exception leaves.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "api/guard.h"
#include "core/module_mode.h"
#include "discovery/walk.h"
#include "fault_injecting_platform.h"
#include "fill_markers.h"

namespace ksv {
namespace {

using Telling = test::FaultInjectingPlatform::Telling;

using test::kSentinel;
using test::kUnwritten;

// A keyboard, module A, a module whose serial number cannot be read, module B.
std::vector<SimulatedDevice> Scenario() {
  SimulatedDevice unreadable = test::Module("m-u", kVendorSecondary, kProductStandard, "");
  unreadable.serial = std::nullopt;
  return {
      test::OtherDevice("keyboard", 0x046D, 0xC31C),
      test::Module("m-a", kVendorPrimary, kProductStandard, "A"),
      unreadable,
      test::Module("m-b", kVendorSecondary, kProductStandard, "B"),
  };
}

// One call of one walk form; gives what it found in a comparable form ("" for a 0 result) and
// checks the out-argument and the resource balance on the way.
using Form = std::function<std::string(test::FaultInjectingPlatform&)>;

Form Counting() {
  return [](test::FaultInjectingPlatform& platform) {
    const int count = CallGuarded(0, [&] { return CountModules(platform); });
    EXPECT_TRUE(platform.Balanced()) << platform.Describe();
    return std::to_string(count);
  };
}

Form Naming(int ordinal) {
  return [ordinal](test::FaultInjectingPlatform& platform) -> std::string {
    std::array<char, 300> buffer;
    buffer.fill(kSentinel);
    const int result = CallGuarded(0, [&] { return NameModule(platform, ordinal, buffer.data()); });
    EXPECT_TRUE(platform.Balanced()) << platform.Describe();
    const auto written =
        std::find_if(buffer.rbegin(), buffer.rend(), [](char c) { return c != kSentinel; });
    if (result != 1) {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(written == buffer.rend()) << "buffer written although the result is 0";
      return "";
    }
    const std::string text(buffer.data());
    EXPECT_EQ(static_cast<std::size_t>(buffer.rend() - written), text.size() + 1);
    return text;
  };
}

Form Opening(const std::string& serial) {
  return [serial](test::FaultInjectingPlatform& platform) -> std::string {
    DeviceHandle out = kUnwritten;
    const int result =
        CallGuarded(0, [&] { return OpenModuleBySerial(platform, &out, serial.c_str()); });
    if (result != 1) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(out, kUnwritten) << "handle written although the result is 0";
      EXPECT_TRUE(platform.Balanced()) << platform.Describe();
      return "";
    }
    EXPECT_TRUE(platform.Balanced(1)) << platform.Describe();
    const std::string found = platform.PathOf(out);
    platform.Close(out);
    EXPECT_TRUE(platform.Balanced()) << platform.Describe();
    return found;
  };
}

TEST(DiscoveryFaultSweep, EveryFailingOperationGivesASensibleResultAndLeavesNothingOpen) {
  const struct {
    const char* what;
    Form form;
    std::string clean;            // the result without faults
    std::set<std::string> other;  // what a single failure may turn it into
    std::string not_found;        // what a throw turns it into
  } cases[] = {
      // A failure for one interface passes over that interface only; a list that cannot be built
      // shows no module at all.
      {"count", Counting(), "3", {"0", "2"}, "0"},
      {"name 0", Naming(0), "A", {""}, ""},
      // The unreadable module holds ordinal 1; a failure that hides A moves B up into it.
      {"name 1", Naming(1), "", {"B"}, ""},
      {"name 2", Naming(2), "B", {""}, ""},
      {"open A", Opening("A"), "m-a", {""}, ""},
      {"open B", Opening("B"), "m-b", {""}, ""},
      {"open missing", Opening("C"), "", {}, ""},
  };
  // On a platform that opens candidates to tell, one that tells their IDs (as Windows), and one
  // that describes them (as Linux).
  for (const Telling tells : {Telling::kNothing, Telling::kIds, Telling::kAll})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", telling " + std::to_string(static_cast<int>(tells)));
      test::ScriptedPlatform clean(Scenario());
      clean.tells = tells;
      ASSERT_EQ(c.form(clean), c.clean);
      const std::uint64_t operations = clean.operations();
      ASSERT_GT(operations, 0u);

      std::set<std::string> seen;
      for (std::uint64_t k = 1; k <= operations + 1; ++k) {
        SCOPED_TRACE("operation " + std::to_string(k) + " of " + std::to_string(operations));
        test::ScriptedPlatform platform(Scenario());
        platform.tells = tells;
        platform.fail_operation = k;
        const std::string result = c.form(platform);
        EXPECT_TRUE(result == c.clean || c.other.count(result) == 1)
            << "result \"" << result << '"';
        if (k == operations + 1) {
          EXPECT_EQ(result, c.clean) << "a failure past the last operation changed the result";
        }
        seen.insert(result);

        test::ScriptedPlatform throwing(Scenario());
        throwing.tells = tells;
        throwing.fail_operation = k;
        throwing.fail_throws = true;
        EXPECT_EQ(c.form(throwing), k <= operations ? c.not_found : c.clean) << "with a throw";
      }
      // Every outcome the scenario allows is reached by some failure: the sweep hits the decisions.
      for (const std::string& expected : c.other) {
        EXPECT_EQ(seen.count(expected), 1u) << "no failure gave \"" << expected << '"';
      }
    }
}

}  // namespace
}  // namespace ksv
