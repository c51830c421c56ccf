#include "exchange/exchange.h"

#include <cstring>

namespace ksv {
namespace {

// How the transfer of one exchange ended.
struct TransferOutcome {
  bool completed = false;   // the read completed: the input report holds what arrived
  std::uint32_t count = 0;  // bytes the read delivered, when completed
  std::uint32_t error = 0;  // when not completed: the error number to map
};

TransferOutcome Failed(std::uint32_t error) { return {false, 0, error}; }

// The error number of a wait that did not see its transfer finish.
std::uint32_t WaitError(std::uint32_t wait_result) {
  return wait_result == kWaitTimedOut ? kErrorWaitTimedOut : kErrorWaitFailed;
}

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

  // Waits for the transfer. A time-out or failed wait cancels it and gives the error number to
  // map (4 or 10); 0 means the transfer's event was signalled.
  std::uint32_t WaitOrCancel() {
    const std::uint32_t wait = platform_.WaitCompletion(handle_, record_, kWaitLimitMs);
    if (wait == kWaitSignalled) {
      return 0;
    }
    Cancel();
    return WaitError(wait);
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

TransferOutcome ReadReport(HidPlatform& platform, DeviceHandle handle, std::uint8_t* input,
                           std::uint32_t size) {
  const CompletionEvent event(platform, platform.CreateCompletionEvent());
  TransferRecord record;
  record.event = event.get();
  TransferInFlight read(platform, handle, record);

  const StartOutcome start = platform.StartRead(handle, input, size, record);
  if (start.completed) {
    return {true, start.count, 0};  // classified without waiting
  }
  if (start.error != kIoPending) {
    return Failed(start.error);
  }
  read.Started();
  if (const std::uint32_t error = read.WaitOrCancel(); error != 0) {
    return Failed(error);
  }
  // The event was signalled by this read alone, so this does not wait long. Its success flag is
  // not consulted: a read that ended in error delivered what the count says, usually nothing.
  const std::uint32_t count = platform.GetCompletedCount(handle, record);
  read.Finished();
  return {true, count, 0};
}

// The write, and the read only once the write's completion was seen. Both reports belong to the
// caller and outlive every transfer started here.
TransferOutcome WriteThenRead(HidPlatform& platform, DeviceHandle handle,
                              const std::uint8_t* output, std::uint8_t* input, std::uint32_t size) {
  const CompletionEvent event(platform, platform.CreateCompletionEvent());
  TransferRecord record;
  record.event = event.get();
  TransferInFlight write(platform, handle, record);

  const StartOutcome start = platform.StartWrite(handle, output, size, record);
  if (!start.completed && start.error != kIoPending) {
    return Failed(start.error);
  }
  write.Started();
  // Waited for even when the write completed at once: its event is signalled then.
  if (const std::uint32_t error = write.WaitOrCancel(); error != 0) {
    return Failed(error);
  }
  // The write's byte count and completion status are not consulted; the read follows regardless.
  write.Finished();
  return ReadReport(platform, handle, input, size);
}

}  // namespace

template <std::size_t L>
ExchangeResult ExchangeReport(HidPlatform& platform, DeviceHandle handle, std::uint8_t report_id,
                              const char* command, char* reply) {
  static_assert(L + 1 <= UINT32_MAX, "a report's size must fit a transfer's byte count");
  constexpr auto kReportSize = static_cast<std::uint32_t>(L + 1);

  const Report<L> output = BuildOutputReport<L>(report_id, command);
  Report<L> input{};
  const TransferOutcome outcome =
      WriteThenRead(platform, handle, output.data(), input.data(), kReportSize);
  if (!outcome.completed) {
    return MapTransferError(outcome.error);  // the reply buffer is not touched
  }
  const std::array<char, L> payload = ExtractReply<L>(input);
  std::memcpy(reply, payload.data(), L);
  // The mode is read once, after the transfer: a change made meanwhile applies to this reply.
  return ClassifyReply<L>(CurrentMode(), outcome.count, input);
}

template ExchangeResult ExchangeReport<kPayloadLength>(HidPlatform&, DeviceHandle, std::uint8_t,
                                                       const char*, char*);

int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply) {
  try {
    return ExchangeReport<kPayloadLength>(platform, handle, kCommandReportId, command, reply);
  } catch (...) {
    return kResultOther;
  }
}

}  // namespace ksv
