// The simulated platform's transfers in real time, operation by operation: when a reply can be
// read, what a read that gave up leaves queued, and how a module that leaves ends a read.
#include "simulator/simulated_hid_platform.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/module_mode.h"
#include "exchange/exchange.h"
#include "fault_injecting_platform.h"

namespace ksv {
namespace {

using Clock = std::chrono::steady_clock;

struct Step {
  const char* what;
  std::uint32_t delay_ms;    // the module's
  std::uint32_t limit_ms;    // the read's wait
  std::uint32_t pause_ms;    // before a second read, started after the first one gave up
  std::uint32_t first_wait;  // what the first wait gives
  long long least_ms, most_ms;
  std::uint32_t second_count;  // bytes the second read delivers (it waits up to 2000 ms)
};

TEST(SimulatedPlatformTest, RepliesInRealTime) {
  const Step steps[] = {
      {"reply within the limit", 100, 1000, 0, kWaitSignalled, 90, 900, 0},
      {"reply after the limit is queued for the next read", 1000, 100, 1000, kWaitTimedOut, 90, 900,
       64},
      {"no delay", 0, 1000, 0, kWaitSignalled, 0, 500, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    SimulatedDevice module;
    module.path = "m";
    module.ids = {0x17FE, 0x82CD};
    module.serial.emplace(u"S");
    module.delay_ms = step.delay_ms;
    SimulatedHidPlatform platform({module});
    const DeviceHandle h = platform.OpenDevicePath("m");
    ASSERT_FALSE(IsNoDevice(h));
    std::array<std::uint8_t, 64> out{1, 0x41};
    std::array<std::uint8_t, 64> in{};
    TransferRecord write;
    write.event = platform.CreateCompletionEvent();
    EXPECT_TRUE(platform.StartWrite(h, out.data(), 64, write).completed);

    TransferRecord read;
    read.event = platform.CreateCompletionEvent();
    EXPECT_EQ(platform.StartRead(h, in.data(), 64, read).error, kIoPending);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(platform.WaitCompletion(h, read, step.limit_ms), step.first_wait);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, step.least_ms);
    EXPECT_LE(ms, step.most_ms);
    if (step.first_wait == kWaitSignalled) {
      EXPECT_EQ(platform.GetCompletedCount(h, read), 64u);
      EXPECT_EQ(in[1], 0x41);
    } else {
      platform.CancelPending(h);
      platform.AwaitCancelled(h, read);
      EXPECT_EQ(in[1], 0) << "a read that gave up received nothing";
      std::this_thread::sleep_for(std::chrono::milliseconds(step.pause_ms));
      TransferRecord again;
      again.event = platform.CreateCompletionEvent();
      platform.StartRead(h, in.data(), 64, again);
      EXPECT_EQ(platform.WaitCompletion(h, again, 2000), kWaitSignalled);
      EXPECT_EQ(platform.GetCompletedCount(h, again), step.second_count);
      EXPECT_EQ(in[1], 0x41) << "the late reply is the next read's";
    }
    platform.Close(h);
  }
}

TEST(SimulatedPlatformTest, ReadEndsAtOnceWhenTheModuleLeavesOrItsHandleCloses) {
  SimulatedDevice module;
  module.path = "m";
  module.reply = SimulatedReply::kSilent;
  module.unplug_after = 0;
  SimulatedHidPlatform platform({module});
  const DeviceHandle h = platform.OpenDevicePath("m");
  std::array<std::uint8_t, 64> report{1};
  TransferRecord write;
  write.event = platform.CreateCompletionEvent();
  platform.StartWrite(h, report.data(), 64, write);  // it leaves now
  TransferRecord read;
  read.event = platform.CreateCompletionEvent();
  platform.StartRead(h, report.data(), 64, read);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(platform.WaitCompletion(h, read, 2000), kWaitSignalled);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(platform.GetCompletedCount(h, read), 0u);
  EXPECT_EQ(read.error, kErrorDeviceNotConnected);
  EXPECT_EQ(platform.StartWrite(h, report.data(), 64, write).error, kErrorDeviceNotConnected);
  EXPECT_TRUE(IsNoDevice(platform.OpenDevicePath("m"))) << "a module that left cannot be opened";

  // A silent module's wait, ended by another thread closing the handle.
  SimulatedDevice silent;
  silent.path = "s";
  silent.reply = SimulatedReply::kSilent;
  SimulatedHidPlatform other({silent});
  const DeviceHandle s = other.OpenDevicePath("s");
  TransferRecord pending;
  pending.event = other.CreateCompletionEvent();
  other.StartRead(s, report.data(), 64, pending);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    other.Close(s);
  });
  const Clock::time_point waited = Clock::now();
  EXPECT_EQ(other.WaitCompletion(s, pending, 5000), kWaitSignalled);
  EXPECT_LT(Clock::now() - waited, std::chrono::milliseconds(2500));
  closer.join();
}

// Modules that speak a conversation from a simulation file, through the library's exchange, in
// instant time: in sequence (a masked byte left out, continued across a reopen, a command that
// goes astray, a silent step and a removal), and by lookup.
TEST(SimulatedPlatformTest, ConversationsAnswerTheirSteps) {
  const std::string file = testing::TempDir() + "conversation.json";
  std::ofstream(file) << R"({"modules": [
    {"vendor": "0x17FE", "product": "0x82CD", "reply": "conversation", "steps": [
      {"command": "01", "reply": "01aa"},
      {"command": "02ff", "mask": "ff00", "reply": "02bb", "delay_ms": 5},
      {"command": "03", "silent": true},
      {"command": "04", "leaves": true}]},
    {"vendor": "0x17FE", "product": "0x82CD", "reply": "conversation", "match": "lookup",
     "steps": [{"command": "10", "reply": "0111"}, {"command": "20", "reply": "0322"},
               {"command": "40", "system_error": 30}]}]})";
  std::string error;
  const auto devices = LoadSimulation(file, error);
  ASSERT_TRUE(devices) << error;
  SimulatedHidPlatform platform(*devices, test::kInstantTime);
  OwedReplies owed;
  SetModuleMode(1);  // short replies are classified by their report ID
  const struct {
    int module;
    std::array<std::uint8_t, 2> command;
    bool reopen;
    ExchangeResult result;
    char first_byte;     // of the reply, when one came
    const char* astray;  // the line on standard error, from its command number on
  } rows[] = {
      {0, {0x01}, false, 1, '\xaa', ""},
      {0, {0x02, 0x33}, false, 0, '\xbb', ""},
      {0,
       {0x05},
       true,
       -1,
       0,
       "command 3 does not match step 3: command byte 0 is 0x05, the step has 0x03; no reply\n"},
      {0, {0x03}, false, -1, 0, ""},
      {0, {0x04}, false, -255, 0, ""},
      {0, {0x01}, false, -255, 0, ""},
      {1, {0x20}, false, 3, '\x22', ""},
      {1, {0x10}, false, 1, '\x11', ""},
      {1, {0x10}, false, 1, '\x11', ""},
      {1, {0x40}, false, -12, 0, ""},  // the read fails with a read fault
      {1, {0x30}, false, -1, 0, "command 5 matches none of the 3 steps; no reply\n"},
  };
  DeviceHandle handles[2] = {platform.OpenDevicePath("sim:modules[0]"),
                             platform.OpenDevicePath("sim:modules[1]")};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "module " << row.module << ", command " << static_cast<int>(row.command[0]));
    if (row.reopen) {
      ASSERT_TRUE(platform.Close(handles[row.module]));
      handles[row.module] = platform.OpenDevicePath("sim:modules[0]");
    }
    std::array<char, 63> command{}, reply{};
    std::copy(row.command.begin(), row.command.end(), command.begin());
    testing::internal::CaptureStderr();
    EXPECT_EQ(ExchangeReport(platform, owed, handles[row.module], 1, command.data(), reply.data()),
              row.result);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reply[0], row.first_byte);
    EXPECT_EQ(said.empty() ? "" : said.substr(said.find("command ")), row.astray) << said;
  }
  SetModuleMode(0);
}

}  // namespace
}  // namespace ksv
