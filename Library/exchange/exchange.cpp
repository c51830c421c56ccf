#include "exchange/exchange.h"

#include <chrono>

namespace ksv {
namespace {

TransferOutcome Failed(std::uint32_t error) { return {TransferEnd::kSystemError, 0, error}; }
TransferOutcome Completed(std::uint32_t count) { return {TransferEnd::kCompleted, count, 0}; }

// One transfer, from its start until the platform is done with its record and buffer. It is
// declared after both, so it ends before them; a transfer still outstanding when it leaves scope
// (which happens only when the platform threw) is cancelled and waited for there.
class TransferInFlight {
 public:
  TransferInFlight(HidPlatform& platform, DeviceHandle handle, TransferRecord& record)
      : platform_(platform), handle_(handle), record_(record) {}
  ~TransferInFlight() {
    if (outstanding_) {
      try {
        Cancel();
      } catch (...) {
        // Nothing more can be done from here; the exception already under way is reported.
      }
    }
  }
  TransferInFlight(const TransferInFlight&) = delete;
  TransferInFlight& operator=(const TransferInFlight&) = delete;

  // The start did not fail: the record is the platform's until Finished or Cancel.
  void Started() { outstanding_ = true; }
  void Finished() { outstanding_ = false; }

  // Waits for the transfer; true when its event was signalled. A time-out or a failed wait
  // cancels the transfer and gives false with `outcome` saying which of the two it was.
  bool WaitOrCancel(TransferOutcome& outcome, std::uint32_t limit_ms) {
    const std::uint32_t wait = platform_.WaitCompletion(handle_, record_, limit_ms);
    if (wait == kWaitSignalled) {
      return true;
    }
    Cancel();
    outcome.end = wait == kWaitTimedOut ? TransferEnd::kTimedOut : TransferEnd::kFailedWait;
    return false;
  }

  // Ends the transfer early, and returns only once the platform no longer touches the record or
  // the buffer (a late completion could otherwise write into them after they are gone).
  void Cancel() {
    platform_.CancelPending(handle_);
    platform_.AwaitCancelled(handle_, record_);
    outstanding_ = false;
  }

 private:
  HidPlatform& platform_;
  DeviceHandle handle_;
  TransferRecord& record_;
  bool outstanding_ = false;
};

// Inlined into both of its callers: out of line, it adds about a fifth to the library's own work
// in an exchange (tests/bench/exchange_bench.cpp).
[[gnu::always_inline]] inline TransferOutcome ReadReport(HidPlatform& platform, DeviceHandle handle,
                                                         std::uint8_t* input, std::uint32_t size,
                                                         std::uint32_t limit_ms) {
  const CompletionEvent event(platform, platform.CreateCompletionEvent());
  TransferRecord record;
  record.event = event.get();
  TransferInFlight read(platform, handle, record);

  const StartOutcome start = platform.StartRead(handle, input, size, record);
  if (start.completed) {
    return Completed(start.count);  // classified without waiting
  }
  if (start.error != kIoPending) {
    return Failed(start.error);
  }
  read.Started();
  if (TransferOutcome ended; !read.WaitOrCancel(ended, limit_ms)) {
    return ended;
  }
  // The event was signalled by this read alone, so this does not wait long. A read that ended in
  // error is a failed transfer: a module that left during the read gives the same result as one
  // that left before the exchange, and no zero bytes pass for its reply.
  const std::uint32_t count = platform.GetCompletedCount(handle, record);
  read.Finished();
  if (record.error != 0) {
    return Failed(record.error);
  }
  return Completed(count);
}

// A read that was started for a written command and given up on: its reply may still come.
[[gnu::noinline]] void NoteOwedReply(HidPlatform& platform, OwedReplies& owed,
                                     DeviceHandle handle) {
  owed.Owe(platform.DeviceKey(handle),
           OwedClock::now() + std::chrono::milliseconds(kOwedReplyGraceMs));
}

// The write, and the read only once the write's completion was seen; a read given up on leaves
// its reply owed. Both reports belong to the caller and outlive every transfer started here.
TransferOutcome WriteThenRead(HidPlatform& platform, OwedReplies& owed, DeviceHandle handle,
                              const std::uint8_t* output, std::uint8_t* input, std::uint32_t size) {
  const CompletionEvent event(platform, platform.CreateCompletionEvent());
  TransferRecord record;
  record.event = event.get();
  TransferInFlight write(platform, handle, record);

  // Whatever input is queued now answered an earlier command (a reply that came after its
  // exchange gave up): it is dropped, so that the read below can only take a reply that arrived
  // after this command was written. A discard that fails ends the exchange like a failed start,
  // before anything is written.
  Report stale{};
  if (const std::uint32_t error = platform.DiscardQueuedInput(handle, stale.data(), size, record);
      error != 0) {
    return Failed(error);
  }
  const StartOutcome start = platform.StartWrite(handle, output, size, record);
  if (!start.completed && start.error != kIoPending) {
    return Failed(start.error);
  }
  write.Started();
  // Waited for even when the write completed at once: its event is signalled then.
  if (TransferOutcome ended; !write.WaitOrCancel(ended, kWaitLimitMs)) {
    return ended;
  }
  // The write's byte count and completion status are not consulted; the read follows regardless.
  write.Finished();
  const TransferOutcome read = ReadReport(platform, handle, input, size, kWaitLimitMs);
  if (read.end == TransferEnd::kTimedOut || read.end == TransferEnd::kFailedWait) {
    NoteOwedReply(platform, owed, handle);
  }
  return read;
}

constexpr auto kTransferBytes = static_cast<std::uint32_t>(kReportSize);

// Reads and drops the replies of a debt, each waited for until the debt's grace has passed: one
// that has not come by then is lost, and so are the rest. Completed when nothing more is waited
// for; otherwise the failure that ended the wait.
TransferOutcome AwaitOwedReplies(HidPlatform& platform, DeviceHandle handle, const OwedDebt& debt) {
  Report scratch{};
  for (std::uint32_t taken = 0; taken < debt.replies; ++taken) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(debt.until - OwedClock::now());
    if (left.count() <= 0) {
      break;
    }
    const TransferOutcome reply = ReadReport(platform, handle, scratch.data(), kTransferBytes,
                                             static_cast<std::uint32_t>(left.count()));
    if (reply.end == TransferEnd::kTimedOut) {
      break;
    }
    if (reply.end != TransferEnd::kCompleted) {
      return reply;
    }
  }
  return Completed(0);
}

// While some module owes a reply: takes the replies that the module behind `handle` owes. Completed
// when the exchange may go on; otherwise the failure that ended the wait, and the debt stands for
// the next exchange unless the module left.
[[gnu::noinline]] TransferOutcome TakeOwedReplies(HidPlatform& platform, OwedReplies& owed,
                                                  DeviceHandle handle) {
  const std::uint64_t device = platform.DeviceKey(handle);
  const std::optional<OwedDebt> debt = owed.Find(device);
  if (!debt) {
    return Completed(0);
  }
  const TransferOutcome waited = AwaitOwedReplies(platform, handle, *debt);
  const bool left =
      waited.end == TransferEnd::kSystemError && waited.error == kErrorDeviceNotConnected;
  if (waited.end == TransferEnd::kCompleted || left) {
    owed.Settle(device);
  }
  return waited;
}

// The exchange once nothing owed stands in its way: the command written, its reply read.
[[gnu::noinline]] ExchangeResult WriteAndRead(HidPlatform& platform, OwedReplies& owed,
                                              DeviceHandle handle, std::uint8_t report_id,
                                              const char* command, char* reply) {
  const Report output = BuildOutputReport(report_id, command);
  Report input{};
  const TransferOutcome outcome =
      WriteThenRead(platform, owed, handle, output.data(), input.data(), kTransferBytes);
  if (outcome.end != TransferEnd::kCompleted) {
    return MapTransferError(outcome);  // the reply buffer is not touched
  }
  ExtractReply(input, reply);
  // The mode is read once, after the transfer: a change made meanwhile applies to this reply.
  return ClassifyReply(CurrentMode(), outcome.count, input);
}

// The exchange while some module owes a reply: first the replies this one owes.
[[gnu::noinline]] ExchangeResult WriteAndReadWhileOwed(HidPlatform& platform, OwedReplies& owed,
                                                       DeviceHandle handle, std::uint8_t report_id,
                                                       const char* command, char* reply) {
  if (const TransferOutcome waited = TakeOwedReplies(platform, owed, handle);
      waited.end != TransferEnd::kCompleted) {
    return MapTransferError(waited);  // nothing written, the reply buffer not touched
  }
  return WriteAndRead(platform, owed, handle, report_id, command, reply);
}

}  // namespace

// While no module owes a reply, one load and one branch are all the exchange adds.
ExchangeResult ExchangeReport(HidPlatform& platform, OwedReplies& owed, DeviceHandle handle,
                              std::uint8_t report_id, const char* command, char* reply) {
  return owed.Any() ? WriteAndReadWhileOwed(platform, owed, handle, report_id, command, reply)
                    : WriteAndRead(platform, owed, handle, report_id, command, reply);
}

int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply) {
  return ExchangeReport(platform, ProcessOwedReplies(), handle, kCommandReportId, command, reply);
}

}  // namespace ksv
