#include "exchange/report.h"

#include <cstring>

#include "platform/windows_errors.h"

namespace ksv {
namespace {

struct ErrorResult {
  std::uint32_t error;
  ExchangeResult result;
};

// Windows error numbers that have a code of their own.
constexpr std::array<ErrorResult, 14> kErrorResults{{
    {kErrorInvalidFunction, -3},
    {kErrorFileNotFound, -4},
    {kErrorPathNotFound, -5},
    {kErrorTooManyOpenFiles, -1},  // reported as a time-out
    {kErrorAccessDenied, -6},
    {kErrorInvalidHandle, -7},
    {kErrorNotEnoughMemory, -8},
    {kErrorBadEnvironment, -2},  // reported as a failed wait
    {kErrorOutOfMemory, -9},
    {kErrorWriteProtect, -10},
    {kErrorWriteFault, -11},
    {kErrorReadFault, -12},
    {kErrorInvalidParameter, -13},
    {kErrorOpenFailed, -14},
}};

}  // namespace

Report BuildOutputReport(std::uint8_t report_id, const char* command) {
  Report report{};
  report[0] = report_id;
  std::memcpy(report.data() + 1, command, kPayloadLength);
  return report;
}

void ExtractReply(const Report& input, char* reply) {
  std::memcpy(reply, input.data() + 1, kPayloadLength);
}

ExchangeResult ClassifyReply(ModuleMode mode, std::uint32_t count, const Report& input) {
  // The length test comes first: a short or long reply fails it whatever its report ID.
  if (RequiresFullReply(mode) && count != kReportSize) {
    return kResultWrongLength;
  }
  switch (input[0]) {
    case 1:
      return kResultReplyId1;
    case 2:
      return kResultReplyId2;
    case 3:
      return AcceptsReportId3(mode) ? kResultReplyId3 : kResultUnknownReportId;
    default:
      return kResultUnknownReportId;
  }
}

ExchangeResult MapTransferError(const TransferOutcome& outcome) {
  switch (outcome.end) {
    case TransferEnd::kTimedOut:
      return kResultTimedOut;
    case TransferEnd::kFailedWait:
      return kResultWaitFailed;
    case TransferEnd::kSystemError:
      for (const ErrorResult& entry : kErrorResults) {
        if (entry.error == outcome.error) {
          return entry.result;
        }
      }
      return kResultOther;
    case TransferEnd::kCompleted:
      break;
  }
  return kResultOther;  // a completed transfer is classified, never mapped
}

}  // namespace ksv
