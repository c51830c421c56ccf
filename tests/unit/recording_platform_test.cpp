// The recording layer: a script of walks and exchanges run through it over simulated modules, and
// the same script run again over the simulator playing the recording, give the same counts, names,
// results and reply bytes.
#include "recorder/recording_platform.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/walk.h"
#include "exchange/exchange.h"
#include "fault_injecting_platform.h"

namespace ksv {
namespace {

using Telling = test::FaultInjectingPlatform::Telling;

// What the script saw: counts and names, then per exchange its result and reply.
std::vector<std::string> RunScript(HidPlatform& platform) {
  std::vector<std::string> seen{"count " + std::to_string(CountModules(platform))};
  for (int ordinal = 0;; ++ordinal) {
    std::array<char, 256> serial{};
    if (NameModule(platform, ordinal, serial.data()) != 1) {
      break;
    }
    seen.push_back(std::string("name ") + serial.data());
  }
  OwedReplies owed;
  for (const char* serial :
       {"ECHO", "INVERT", "SHORT", "ID2", "SILENT", "FAULTY", "LEAVES", "ECHO"}) {
    DeviceHandle h = InvalidDeviceHandle();
    if (OpenModuleBySerial(platform, &h, serial) != 1) {
      seen.push_back(std::string(serial) + " not opened");
      continue;
    }
    // A walk sees the module held, by this process: the recording must not make it busy.
    seen.push_back(std::string(serial) + " open, count " + std::to_string(CountModules(platform)));
    for (int k = 0; k < 4; ++k) {
      std::array<char, 63> command{}, reply{};
      command[0] = static_cast<char>(k * 17);
      command[5] = serial[0];
      const ExchangeResult result =
          ExchangeReport(platform, owed, h, 1, command.data(), reply.data());
      seen.push_back(std::string(serial) + " " + std::to_string(result) + " " +
                     std::string(reply.begin(), reply.end()));
    }
    CloseModule(platform, h);
  }
  seen.push_back("count " + std::to_string(CountModules(platform)));
  return seen;
}

TEST(RecordingPlatformTest, ARecordingReplaysTheSameResults) {
  const auto module = [](const char* serial, SimulatedReply reply) {
    SimulatedDevice d = test::Module(std::string("m-") + serial, 0x17FE, 0x82CD, serial);
    d.reply = reply;
    return d;
  };
  std::vector<SimulatedDevice> devices{
      test::OtherDevice("keyboard", 0x1209, 0x0001), module("ECHO", SimulatedReply::kEcho),
      module("INVERT", SimulatedReply::kInvert),     module("SHORT", SimulatedReply::kEcho),
      module("ID2", SimulatedReply::kPlusOne),       module("SILENT", SimulatedReply::kSilent),
      module("LEAVES", SimulatedReply::kEcho),       module("FAULTY", SimulatedReply::kEcho)};
  devices[3].length = 32;
  devices[4].report_id = 2;
  devices[6].unplug_after = 2;
  for (const Telling tells : {Telling::kNothing, Telling::kIds, Telling::kAll}) {
    SCOPED_TRACE("telling " + std::to_string(static_cast<int>(tells)));
    test::ScriptedPlatform modules(devices);
    modules.tells = tells;
    modules.faults("m-FAULTY").read_end_error = kErrorReadFault;  // replayed: the same -12
    const std::string file = testing::TempDir() + "recording.json";
    RecordingPlatform recorder(modules, file);
    const std::vector<std::string> recorded = RunScript(recorder);
    // The steps appended one by one make the same file as the recording written whole.
    std::ifstream written(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), recorder.Text());

    std::string error;
    const auto replayed_devices = ParseSimulation(recorder.Text(), "recording", error);
    ASSERT_TRUE(replayed_devices) << error << "\n" << recorder.Text();
    test::ScriptedPlatform replay(*replayed_devices);
    replay.tells = tells;
    EXPECT_EQ(RunScript(replay), recorded) << recorder.Text();
    EXPECT_EQ(recorded.back(), "count 6") << "a module that left is no longer counted";
    EXPECT_NE(std::find(recorded.begin(), recorded.end(), "FAULTY -12 " + std::string(63, '\0')),
              recorded.end());

    // A recording cut off in the middle of a step is refused, with the line where it ends.
    const std::string text = recorder.Text();
    const std::size_t cut = text.find("\"silent\"");
    const auto lines =
        std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut), '\n');
    EXPECT_FALSE(ParseSimulation(text.substr(0, cut), "cut", error));
    EXPECT_NE(error.find("cut: line " + std::to_string(lines + 1) + ","), std::string::npos)
        << error;
  }
}

// What a walk names, in its order.
std::vector<std::string> Names(HidPlatform& platform) {
  std::vector<std::string> names;
  for (int ordinal = 0;; ++ordinal) {
    std::array<char, 256> serial{};
    if (NameModule(platform, ordinal, serial.data()) != 1) {
      return names;
    }
    names.emplace_back(serial.data());
  }
}

// A module that arrives after the first walk but comes first in walk order (as Wine sorts by
// path) is listed first, and the steps name the modules by their new places.
TEST(RecordingPlatformTest, AnInterfaceFoundLaterTakesItsPlaceInTheWalkOrder) {
  std::vector<SimulatedDevice> devices{test::Module("m-a", 0x17FE, 0x82CD, "A"),
                                       test::Module("m-b", 0x17FE, 0x82CD, "B")};
  devices[1].reply = SimulatedReply::kInvert;
  test::ScriptedPlatform modules(devices);
  modules.faults("m-a").absent = true;
  const std::string file = testing::TempDir() + "arrival.json";
  RecordingPlatform recorder(modules, file);
  const auto exchange = [](HidPlatform& platform, const char* serial) {
    DeviceHandle h = InvalidDeviceHandle();
    std::array<char, 63> command{serial[0]}, reply{};
    OwedReplies owed;
    const int opened = OpenModuleBySerial(platform, &h, serial);
    const ExchangeResult result =
        ExchangeReport(platform, owed, h, 1, command.data(), reply.data());
    CloseModule(platform, h);
    return std::to_string(opened) + " " + std::to_string(result) + " " +
           std::to_string(static_cast<unsigned char>(reply[0]));
  };
  EXPECT_EQ(Names(recorder), std::vector<std::string>{"B"});
  const std::string b_before = exchange(recorder, "B");
  modules.faults("m-a").absent = false;
  EXPECT_EQ(Names(recorder), (std::vector<std::string>{"A", "B"}));
  const std::string a = exchange(recorder, "A"), b = exchange(recorder, "B");

  std::string error;
  const auto replayed = ParseSimulation(recorder.Text(), "recording", error);
  ASSERT_TRUE(replayed) << error << "\n" << recorder.Text();
  test::ScriptedPlatform replay(*replayed);
  EXPECT_EQ(Names(replay), (std::vector<std::string>{"A", "B"})) << recorder.Text();
  EXPECT_EQ(exchange(replay, "B"), b_before) << recorder.Text();
  EXPECT_EQ(exchange(replay, "A"), a);
  EXPECT_EQ(exchange(replay, "B"), b);
  std::ifstream written(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), recorder.Text());
}

}  // namespace
}  // namespace ksv
