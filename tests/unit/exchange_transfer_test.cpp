// The exchange against the simulated platform: completions at once and later, time-outs,
// failed waits and starts, exceptions, and what is left open afterwards.
#include "exchange/exchange.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/guard.h"
#include "discovery/walk.h"
#include "fault_injecting_platform.h"
#include "fill_markers.h"

namespace ksv {
namespace {

using test::Op;
using test::Start;

using test::kL;
using test::kSentinel;

// A full 64-byte input report: the ID, then 0x80, 0x81, ...
std::vector<std::uint8_t> FullReply(std::uint8_t id) {
  std::vector<std::uint8_t> reply(kL + 1);
  reply[0] = id;
  for (std::size_t i = 1; i < reply.size(); ++i) {
    reply[i] = static_cast<std::uint8_t>(0x80 + i - 1);
  }
  return reply;
}

std::array<char, kL> PayloadOf(const std::vector<std::uint8_t>& received) {
  std::array<char, kL> payload{};  // zero where nothing arrived
  for (std::size_t i = 1; i < received.size() && i <= kL; ++i) {
    payload[i - 1] = static_cast<char>(received[i]);
  }
  return payload;
}

// A module that answers every command with these bytes (report ID first), or echoes it.
SimulatedDevice Replying(const std::vector<std::uint8_t>& bytes) {
  SimulatedDevice module = test::Module("module", 0x17FE, 0x82CD, "A1");
  module.reply = SimulatedReply::kFixed;
  module.report_id = bytes.empty() ? 0 : bytes[0];
  module.payload.assign(bytes.begin() + (bytes.empty() ? 0 : 1), bytes.end());
  module.length = static_cast<std::uint32_t>(bytes.size());
  return module;
}
SimulatedDevice Echoing(std::uint8_t report_id, std::uint32_t length) {
  SimulatedDevice module = test::Module("module", 0x17FE, 0x82CD, "A1");
  module.report_id = report_id;
  module.length = length;
  return module;
}

// One module opened by the test, a command and a reply buffer.
struct Rig {
  test::ScriptedPlatform platform;
  OwedReplies owed;
  DeviceHandle handle = platform.OpenDevicePath("module");
  std::array<char, kL> command{};
  std::array<char, kL> reply{};

  explicit Rig(SimulatedDevice module = Replying(FullReply(1))) : platform({std::move(module)}) {
    for (std::size_t i = 0; i < kL; ++i) {
      command[i] = static_cast<char>(i);  // the first command byte is zero
    }
    reply.fill(kSentinel);
  }
  ~Rig() { SetModuleMode(0); }

  test::DeviceFaults& faults() { return platform.faults("module"); }

  ExchangeResult Exchange() {
    return ExchangeReport(platform, owed, handle, kCommandReportId, command.data(), reply.data());
  }
  bool ReplyUntouched() const {
    return std::all_of(reply.begin(), reply.end(), [](char c) { return c == kSentinel; });
  }
  // Transfer operations only (the test's own open and the ledger's device lookups are left out).
  std::vector<Op> Ops() const {
    std::vector<Op> ops;
    for (const test::TraceEntry& e : platform.trace()) {
      if (e.op != Op::kOpenDevicePath && e.op != Op::kDeviceKey) {
        ops.push_back(e.op);
      }
    }
    return ops;
  }
  std::size_t Count(Op op) const { return platform.CountOps(op); }

  // An exchange whose read gives up after its command was written; the module's answer is still
  // on its way (taken off the simulated device, where it was queued at once).
  void TimeOut() {
    faults().read = Start::kNever;
    EXPECT_EQ(Exchange(), -1);
    faults().read = Start::kAsWrapped;
    Report scratch{};
    TransferRecord record;
    EXPECT_EQ(platform.DiscardQueuedInput(handle, scratch.data(), kL + 1, record), 0u);
  }
  // The late answer arrives while the next read waits, whichever read that is.
  void LateReplyAtNextRead() {
    platform.before_operation = [this](const test::TraceEntry& e) {
      if (e.op == Op::kStartRead) {
        faults().queued.push_back(FullReply(1));
        platform.before_operation = nullptr;
      }
    };
  }
  bool OwnEcho() const { return reply == command; }
};

TEST(ExchangeTest, CompletionsAtOnceAndLater) {
  for (Start write : {Start::kAsWrapped, Start::kPending}) {
    for (Start read : {Start::kAtOnce, Start::kAsWrapped}) {
      SCOPED_TRACE(testing::Message()
                   << "write " << static_cast<int>(write) << ", read " << static_cast<int>(read));
      Rig rig;
      rig.faults().write = write;
      rig.faults().read = read;
      EXPECT_EQ(rig.Exchange(), 1);
      EXPECT_EQ(rig.reply, PayloadOf(FullReply(1)));

      std::vector<std::uint8_t> sent{1};
      sent.insert(sent.end(), rig.command.begin(), rig.command.end());
      EXPECT_EQ(rig.platform.last_written("module"), sent);

      // Queued input is discarded before the write; the write is waited for even when it
      // completed at once; a read that completed at once is classified without waiting; the
      // events close in reverse order.
      std::vector<Op> expected{
          Op::kCreateCompletionEvent, Op::kDiscardQueuedInput,    Op::kStartWrite,
          Op::kWaitCompletion,        Op::kCreateCompletionEvent, Op::kStartRead};
      if (read != Start::kAtOnce) {
        expected.insert(expected.end(), {Op::kWaitCompletion, Op::kGetCompletedCount});
      }
      expected.insert(expected.end(), {Op::kCloseEvent, Op::kCloseEvent});
      EXPECT_EQ(rig.Ops(), expected);
      for (const test::TraceEntry& e : rig.platform.trace()) {
        if (e.op == Op::kWaitCompletion) {
          EXPECT_EQ(e.value, 2000u) << "wait limit";
        }
      }
      EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
    }
  }
}

TEST(ExchangeTest, ReplyIsCopiedWhateverTheClassification) {
  const std::vector<std::uint8_t> short_id1{1,    0x11, 0x22, 0x33, 0x44,
                                            0x55, 0x66, 0x77, 0x88, 0x99};
  std::vector<std::uint8_t> short_id3 = short_id1;
  short_id3[0] = 3;
  const struct {
    ModuleMode mode;
    std::vector<std::uint8_t> received;
    ExchangeResult expected;
  } rows[] = {
      {0, FullReply(2), 0}, {0, FullReply(3), -15}, {0, FullReply(9), -15}, {0, short_id1, -16},
      {2, short_id1, -16},  {3, FullReply(0), -15}, {1, short_id3, 3},      {1, short_id1, 1},
      {1, FullReply(3), 3}, {1, FullReply(7), -15},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << ", " << row.received.size()
                                    << " bytes, ID " << int{row.received[0]});
    Rig rig(Replying(row.received));
    ASSERT_EQ(SetModuleMode(row.mode), 1);
    EXPECT_EQ(rig.Exchange(), row.expected);
    EXPECT_EQ(rig.reply, PayloadOf(row.received));
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

TEST(ExchangeTest, ReadEndingWithNothingDelivered) {
  // A read that ended without error and delivered nothing is classified (the reply receives 63
  // zero bytes); one that ended in error is a failed transfer whatever the mode (the module
  // left: -255), and the reply is not touched.
  const struct {
    ModuleMode mode;
    std::uint32_t error;
    ExchangeResult expected;
  } rows[] = {{0, 0, -16},     {1, 0, -15},     {2, 0, -16},     {3, 0, -16},
              {0, 1167, -255}, {1, 1167, -255}, {3, 1167, -255}, {0, 30, -12}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << ", error " << row.error);
    Rig rig(Replying({}));
    ASSERT_EQ(SetModuleMode(row.mode), 1);
    if (row.error != 0) {
      rig.faults().read_end_error = row.error;
    }
    EXPECT_EQ(rig.Exchange(), row.expected);
    if (row.error == 0) {
      EXPECT_EQ(rig.reply, (std::array<char, kL>{}));
    } else {
      EXPECT_TRUE(rig.ReplyUntouched());
    }
    EXPECT_EQ(rig.Count(Op::kGetCompletedCount), 1u);
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

TEST(ExchangeTest, ModeIsReadAfterTheTransfer) {
  const struct {
    ModuleMode before, during;
    ExchangeResult expected;
  } rows[] = {{0, 1, 3}, {1, 0, -16}};
  for (const auto& row : rows) {
    Rig rig(Replying({3, 1, 2, 3}));  // short, report ID 3
    ASSERT_EQ(SetModuleMode(row.before), 1);
    const ModuleMode during = row.during;
    rig.platform.before_operation = [during](const test::TraceEntry& e) {
      if (e.op == Op::kStartRead) {
        SetModuleMode(during);
      }
    };
    EXPECT_EQ(rig.Exchange(), row.expected) << "mode " << row.before << " then " << row.during;
  }
}

TEST(ExchangeTest, ReadThatNeverCompletesIsCancelledAndWaitedFor) {
  Rig rig;
  rig.faults().read = Start::kNever;
  EXPECT_EQ(rig.Exchange(), -1);
  // The simulated late completion wrote into the input report; none of it reached the caller.
  EXPECT_TRUE(rig.ReplyUntouched());
  EXPECT_EQ(rig.Count(Op::kCancelPending), 1u);
  EXPECT_EQ(rig.Count(Op::kGetCompletedCount), 0u);
  const std::vector<Op> ops = rig.Ops();
  const std::vector<Op> tail{Op::kWaitCompletion, Op::kCancelPending, Op::kAwaitCancelled,
                             Op::kCloseEvent, Op::kCloseEvent};
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_TRUE(
      std::equal(tail.begin(), tail.end(), ops.end() - static_cast<std::ptrdiff_t>(tail.size())))
      << "the cancelled read is waited for before its event is closed";
  EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();

  // The handle serves the next exchange.
  rig.faults().read = Start::kAtOnce;
  EXPECT_EQ(rig.Exchange(), 1);
  EXPECT_EQ(rig.reply, PayloadOf(FullReply(1)));
  EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
}

// Input that answered an earlier command never answers this one: a reply that came after its
// exchange timed out, or reports queued before the command, are discarded before the write. The
// module echoes, so that a stale reply differs from the fresh one.
TEST(ExchangeTest, StaleInputNeverAnswersTheNextCommand) {
  const struct {
    const char* name;
    bool late_reply;  // an exchange times out first and its reply arrives afterwards
    std::vector<std::vector<std::uint8_t>> queued;
    std::uint8_t report_id;  // of the fresh echo
    std::uint32_t length;    // of the fresh echo
    ExchangeResult expected;
    std::uint32_t discarded;  // of the queued reports
  } rows[] = {
      {"late reply of a timed-out exchange", true, {}, 1, kL + 1, 1, 0},
      {"two reports queued before the command",
       false,
       {FullReply(2), FullReply(3)},
       1,
       kL + 1,
       1,
       2},
      // The stale report is dropped through a buffer of its own: nothing of it shows behind a
      // short reply.
      {"short reply after a stale full one", false, {FullReply(2)}, 1, 4, -16, 1},
      {"nothing queued", false, {}, 2, kL + 1, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(Echoing(row.report_id, row.length));
    rig.faults().queued.assign(row.queued.begin(), row.queued.end());
    if (row.late_reply) {
      rig.faults().read = Start::kNever;  // the module answers, but the read gives up first
      rig.command[0] = 0x77;
      ASSERT_EQ(rig.Exchange(), -1);
      rig.faults().read = Start::kAsWrapped;
      rig.command[0] = 0;
    }
    std::array<char, kL> fresh{};
    std::copy_n(rig.command.begin(), row.length - 1, fresh.begin());
    EXPECT_EQ(rig.Exchange(), row.expected);
    EXPECT_EQ(rig.reply, fresh);
    EXPECT_TRUE(rig.faults().queued.empty());
    const std::vector<test::TraceEntry> trace = rig.platform.trace();
    const auto discard = std::find_if(trace.rbegin(), trace.rend(), [](const test::TraceEntry& e) {
      return e.op == Op::kDiscardQueuedInput;
    });
    ASSERT_NE(discard, trace.rend());
    EXPECT_EQ(discard->value, row.discarded);
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

// A reply that comes after its exchange timed out, but only once the next command was written
// (a USB module a little past the limit), never answers that command: the next exchange with the
// module, on this handle or on one opened after it, first takes the owed reply and drops it.
TEST(ExchangeTest, OwedReplyNeverAnswersALaterCommand) {
  enum class Fault { kNone, kWaitFails, kModuleLeaves, kDiscardFails };
  const struct {
    const char* name;
    int time_outs;      // in a row before the retry
    bool reopen;        // the module is closed and opened again before the retry
    bool grace_passed;  // the debt's wait has ended before the retry
    bool arrives;       // the late reply arrives during the retry
    Fault fault;        // during the retry, after its first read started
    ExchangeResult retry;
    std::size_t retry_reads;
    bool still_owed;  // after the retry
  } rows[] = {
      {"retry on the same handle", 1, false, false, true, Fault::kNone, 1, 2, false},
      {"retry on a handle opened again", 1, true, false, true, Fault::kNone, 1, 2, false},
      {"second time-out after a lost reply", 2, false, false, true, Fault::kNone, 1, 2, false},
      {"reply lost: the grace runs out", 1, false, false, false, Fault::kNone, 1, 2, false},
      {"grace passed before the retry", 1, false, true, false, Fault::kNone, 1, 1, false},
      {"wait fails for the owed reply", 1, false, false, false, Fault::kWaitFails, -2, 1, true},
      {"module leaves during the owed wait", 1, false, false, true, Fault::kModuleLeaves, -255, 1,
       false},
      {"discard fails after the owed reply", 1, false, false, true, Fault::kDiscardFails, -7, 1,
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(Echoing(1, kL + 1));
    rig.command[0] = 0x77;
    for (int i = 0; i < row.time_outs; ++i) {
      rig.TimeOut();
    }
    EXPECT_TRUE(rig.owed.Any());
    if (row.reopen) {
      EXPECT_TRUE(rig.platform.Close(rig.handle));
      rig.handle = rig.platform.OpenDevicePath("module");
    }
    const std::uint64_t device = rig.platform.DeviceKey(rig.handle);
    if (row.grace_passed) {
      rig.owed.Settle(device);
      rig.owed.Owe(device, OwedClock::now());
    }
    if (row.arrives) {
      rig.LateReplyAtNextRead();
    }
    rig.faults().read_end_error =
        row.fault == Fault::kModuleLeaves ? std::optional(kErrorDeviceNotConnected) : std::nullopt;
    rig.faults().discard_error =
        row.fault == Fault::kDiscardFails ? std::optional(6u) : std::nullopt;
    rig.platform.wait_result =
        row.fault == Fault::kWaitFails ? std::optional(kWaitFailed) : std::nullopt;
    rig.command[0] = 0x01;
    const std::size_t reads = rig.Count(Op::kStartRead), writes = rig.Count(Op::kStartWrite);
    EXPECT_EQ(rig.Exchange(), row.retry);
    EXPECT_EQ(row.retry == 1, rig.OwnEcho());
    EXPECT_EQ(rig.Count(Op::kStartRead) - reads, row.retry_reads);
    EXPECT_EQ(rig.Count(Op::kStartWrite) - writes, row.retry == 1 ? 1u : 0u)
        << "a failed wait for the owed reply writes nothing";
    EXPECT_EQ(rig.owed.Find(device).has_value(), row.still_owed);
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();

    // The exchange after it gets its own reply, the owed one arriving at last where still owed.
    rig.faults() = {};
    rig.platform.wait_result.reset();
    if (row.still_owed) {
      rig.LateReplyAtNextRead();
    }
    rig.command[0] = 0x02;
    EXPECT_EQ(rig.Exchange(), 1);
    EXPECT_TRUE(rig.OwnEcho());
    EXPECT_FALSE(rig.owed.Any());
  }
}

TEST(ExchangeTest, WriteThatNeverCompletesIsCancelledAndNoReadStarts) {
  Rig rig;
  rig.faults().write = Start::kNever;
  EXPECT_EQ(rig.Exchange(), -1);
  EXPECT_TRUE(rig.ReplyUntouched());
  EXPECT_EQ(rig.Count(Op::kStartRead), 0u);
  EXPECT_EQ(rig.Count(Op::kCancelPending), 1u);
  EXPECT_EQ(rig.Count(Op::kAwaitCancelled), 1u);
  EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();

  rig.faults().write = Start::kPending;
  EXPECT_EQ(rig.Exchange(), 1);
}

TEST(ExchangeTest, FailedWaitGivesMinusTwo) {
  for (std::uint32_t wait : {kWaitFailed, 0x80u /* abandoned */, 1u}) {
    Rig rig;
    rig.faults().write = Start::kPending;
    rig.platform.wait_result = wait;
    EXPECT_EQ(rig.Exchange(), -2) << "wait result " << wait;
    EXPECT_TRUE(rig.ReplyUntouched());
    EXPECT_EQ(rig.Count(Op::kStartRead), 0u) << "no read after a failed write wait";
    EXPECT_EQ(rig.Count(Op::kAwaitCancelled), 1u);
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

// Fails the k-th operation in turn: 1 the write's event (so its wait fails, although the write
// completed at once), 2 the discard (error 31), 3 the write's start (error 31), 4 the write's
// wait, 5 the read's event, 6 the read's start, 7 the read's wait. No read follows a failed write.
TEST(ExchangeTest, EachFailingOperation) {
  const struct {
    Start read;
    std::array<ExchangeResult, 8> expected;  // for k = 1..8
  } rows[] = {
      {Start::kAsWrapped, {-2, -255, -255, -2, -2, -255, -2, 1}},
      // A read that completes at once needs neither its event nor a wait.
      {Start::kAtOnce, {-2, -255, -255, -2, 1, -255, 1, 1}},
  };
  for (const auto& row : rows) {
    for (std::size_t k = 1; k <= row.expected.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "read " << static_cast<int>(row.read) << ", k " << k);
      Rig rig;
      rig.faults().read = row.read;
      rig.platform.fail_operation = k + 1;  // the rig's own open is operation 1
      const ExchangeResult result = rig.Exchange();
      EXPECT_EQ(result, row.expected[k - 1]);
      EXPECT_EQ(rig.Count(Op::kStartWrite), k == 2 ? 0u : 1u) << "a failed discard writes nothing";
      EXPECT_EQ(rig.Count(Op::kStartRead), k <= 4 ? 0u : 1u);
      if (result == 1) {
        EXPECT_EQ(rig.reply, PayloadOf(FullReply(1)));
      } else {
        EXPECT_TRUE(rig.ReplyUntouched());
      }
      EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
    }
  }
}

// A discard that fails is mapped as a failed start is, and nothing is written after it.
TEST(ExchangeTest, FailedStartsMapTheirErrorNumber) {
  enum class Fails { kDiscard, kWrite, kRead };
  const struct {
    Fails fails;
    std::uint32_t error;
    ExchangeResult expected;
  } rows[] = {
      {Fails::kWrite, 5, -6},      {Fails::kWrite, 6, -7},      {Fails::kWrite, 0, -255},
      {Fails::kWrite, 31, -255},   {Fails::kRead, 30, -12},     {Fails::kRead, 4, -1},
      {Fails::kRead, 87, -13},     {Fails::kRead, 0, -255},     {Fails::kDiscard, 6, -7},
      {Fails::kDiscard, 30, -12},  {Fails::kDiscard, 31, -255}, {Fails::kDiscard, 1167, -255},
      {Fails::kWrite, 1167, -255}, {Fails::kRead, 1167, -255},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << static_cast<int>(row.fails) << " fails, error " << row.error);
    Rig rig;
    if (row.fails == Fails::kWrite) {
      rig.faults().write_error = row.error;
    } else if (row.fails == Fails::kRead) {
      rig.faults().read_error = row.error;
    } else {
      rig.faults().discard_error = row.error;
    }
    EXPECT_EQ(rig.Exchange(), row.expected);
    EXPECT_TRUE(rig.ReplyUntouched());
    EXPECT_EQ(rig.Count(Op::kStartWrite), row.fails == Fails::kDiscard ? 0u : 1u);
    EXPECT_EQ(rig.Count(Op::kStartRead), row.fails == Fails::kRead ? 1u : 0u);
    EXPECT_EQ(rig.Count(Op::kCancelPending), 0u) << "nothing was started, nothing to cancel";
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

TEST(ExchangeTest, NoDeviceGivesInvalidHandle) {
  Rig rig;
  DeviceHandle closed = rig.handle;
  rig.platform.Close(closed);
  for (DeviceHandle h : {DeviceHandle{nullptr}, InvalidDeviceHandle(), closed}) {
    EXPECT_EQ(ExchangeReport(rig.platform, rig.owed, h, 1, rig.command.data(), rig.reply.data()),
              -7);
    EXPECT_EQ(SendReceive(rig.platform, h, rig.command.data(), rig.reply.data()), -7);
  }
  EXPECT_TRUE(rig.ReplyUntouched());
  EXPECT_EQ(rig.Count(Op::kStartWrite), 0u) << "nothing written on a handle that is not a device";
  EXPECT_EQ(rig.Count(Op::kStartRead), 0u);
  EXPECT_TRUE(rig.platform.Balanced(0)) << rig.platform.Describe();
}

TEST(SendReceiveTest, SendsReportIdOneAndGivesTheResult) {
  Rig rig(Replying(FullReply(2)));
  EXPECT_EQ(SendReceive(rig.platform, rig.handle, rig.command.data(), rig.reply.data()), 0);
  EXPECT_EQ(rig.platform.last_written("module").at(0), 1);
  EXPECT_EQ(rig.platform.last_written("module").size(), kL + 1);
  EXPECT_EQ(rig.reply, PayloadOf(FullReply(2)));
}

TEST(SendReceiveTest, ExceptionFromThePlatformGivesMinus255AndLeavesNothingBehind) {
  const struct {
    const char* where;
    Start read;
    std::optional<Op> arm_at;  // arm the throw only once this operation is seen
    Op throws;
  } rows[] = {
      {"write's event", Start::kAsWrapped, {}, Op::kCreateCompletionEvent},
      {"discard", Start::kAsWrapped, {}, Op::kDiscardQueuedInput},
      {"write's start", Start::kAsWrapped, {}, Op::kStartWrite},
      {"write's wait", Start::kAsWrapped, {}, Op::kWaitCompletion},
      {"read's event", Start::kAsWrapped, Op::kWaitCompletion, Op::kCreateCompletionEvent},
      {"read's start", Start::kAsWrapped, {}, Op::kStartRead},
      {"read's wait", Start::kAsWrapped, Op::kStartRead, Op::kWaitCompletion},
      {"completion query", Start::kAsWrapped, {}, Op::kGetCompletedCount},
      {"cancel", Start::kNever, {}, Op::kCancelPending},
      {"wait after cancel", Start::kNever, {}, Op::kAwaitCancelled},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.where);
    Rig rig;
    rig.faults().write = Start::kPending;
    rig.faults().read = row.read;
    if (row.arm_at) {
      test::FaultInjectingPlatform* platform = &rig.platform;
      const Op arm_at = *row.arm_at;
      const Op throws = row.throws;
      rig.platform.before_operation = [platform, arm_at, throws,
                                       armed = false](const test::TraceEntry& e) mutable {
        if (!armed && e.op == arm_at) {
          armed = true;
          platform->throw_on = throws;
        }
      };
    } else {
      rig.platform.throw_on = row.throws;
    }
    EXPECT_EQ(CallGuarded(kResultOther,
                          [&] {
                            return SendReceive(rig.platform, rig.handle, rig.command.data(),
                                               rig.reply.data());
                          }),
              -255);
    EXPECT_FALSE(rig.platform.throw_on.has_value()) << "the throw did not happen";
    EXPECT_TRUE(rig.ReplyUntouched());
    // Whatever was in flight when the exception left was cancelled and waited for.
    EXPECT_TRUE(rig.platform.Balanced(1)) << rig.platform.Describe();
  }
}

// Two modules, both echoing what they receive. One thread exchanges with module A while another
// either exchanges with module B or walks: every reply is the thread's own command, never the
// other thread's, and the walks see module B (free) but never module A (held open). Run under
// ThreadSanitizer too, where any state that exchanges and walks share shows as a race.
TEST(ExchangeConcurrencyTest, EachThreadGetsOnlyItsOwnRepliesBesideExchangesAndWalks) {
  constexpr int kRounds = 2000;
  const struct {
    Start write, read;
    bool partner_walks;  // the second thread walks instead of exchanging with module B
  } rows[] = {
      {Start::kAsWrapped, Start::kAtOnce, false},
      {Start::kPending, Start::kAsWrapped, false},
      {Start::kPending, Start::kAsWrapped, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "read " << static_cast<int>(row.read)
                                    << (row.partner_walks ? ", walks" : ", exchanges"));
    test::ScriptedPlatform platform{
        {test::Module("module-a", kVendorPrimary, kProductStandard, "A"),
         test::Module("module-b", kVendorPrimary, kProductStandard, "B")}};
    for (const char* module : {"module-a", "module-b"}) {
      platform.faults(module).write = row.write;
      platform.faults(module).read = row.read;
    }
    const DeviceHandle a = platform.OpenDevicePath("module-a");
    const DeviceHandle b =
        row.partner_walks ? InvalidDeviceHandle() : platform.OpenDevicePath("module-b");
    std::atomic<int> wrong{0};
    std::atomic<int> ready{0};
    // Both threads start together, so that what they do overlaps.
    const auto start_together = [&ready] {
      ++ready;
      while (ready.load() < 2) {
        std::this_thread::yield();
      }
    };
    const auto exchange = [&](DeviceHandle handle, char tag) {
      std::array<char, kL> command{};
      std::array<char, kL> reply{};
      start_together();
      for (int round = 0; round < kRounds; ++round) {
        command.fill(static_cast<char>(round));
        command[0] = tag;
        if (SendReceive(platform, handle, command.data(), reply.data()) != 1 || reply != command) {
          ++wrong;
        }
      }
    };
    const auto walk = [&] {
      start_together();
      for (int round = 0; round < kRounds / 10; ++round) {
        DeviceHandle opened = InvalidDeviceHandle();
        if (CountModules(platform) != 1 || OpenModuleBySerial(platform, &opened, "B") != 1 ||
            OpenModuleBySerial(platform, &opened, "A") != 0) {
          ++wrong;
        }
        CloseModule(platform, opened);
      }
    };
    std::thread first(exchange, a, 'a');
    std::thread second = row.partner_walks ? std::thread(walk) : std::thread(exchange, b, 'b');
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0) << "exchanges that failed or got another command's reply, or walks "
                                  "that missed module B or opened module A";
    EXPECT_TRUE(platform.Balanced(row.partner_walks ? 1 : 2)) << platform.Describe();
  }
}

// One thread keeps timing out on module A and retrying while another exchanges with module B,
// both over one ledger: A's retries get A's own replies, and B, which owes nothing, never waits
// for an owed reply.
TEST(ExchangeConcurrencyTest, ModuleThatOwesNothingIsNotHeldUpBesideOneThatOwes) {
  constexpr int kRounds = 500;
  OwedReplies owed;
  Rig a(Echoing(1, kL + 1)), b(Echoing(1, kL + 1));
  std::atomic<int> wrong{0};
  std::thread owing([&] {
    for (int round = 0; round < kRounds; ++round) {
      a.command[0] = 0x55;
      a.faults().read = Start::kNever;
      wrong +=
          ExchangeReport(a.platform, owed, a.handle, 1, a.command.data(), a.reply.data()) != -1;
      a.faults().read = Start::kAsWrapped;
      a.command[0] = static_cast<char>(round);
      wrong +=
          ExchangeReport(a.platform, owed, a.handle, 1, a.command.data(), a.reply.data()) != 1 ||
          !a.OwnEcho();
    }
  });
  for (int round = 0; round < kRounds * 2; ++round) {
    b.command[0] = static_cast<char>(round);
    wrong += ExchangeReport(b.platform, owed, b.handle, 1, b.command.data(), b.reply.data()) != 1 ||
             !b.OwnEcho();
  }
  owing.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(a.Count(Op::kStartRead), std::size_t{kRounds} * 3) << "each retry read the owed reply";
  EXPECT_EQ(b.Count(Op::kStartRead), std::size_t{kRounds} * 2) << "module B never waited";
  EXPECT_FALSE(owed.Any());
}

}  // namespace
}  // namespace ksv
