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
    {kErrorInvalidFunction, KSVHID_INVALID_FUNCTION},
    {kErrorFileNotFound, KSVHID_FILE_NOT_FOUND},
    {kErrorPathNotFound, KSVHID_PATH_NOT_FOUND},
    {kErrorTooManyOpenFiles, KSVHID_TIMED_OUT},  // reported as a time-out
    {kErrorAccessDenied, KSVHID_ACCESS_DENIED},
    {kErrorInvalidHandle, KSVHID_INVALID_HANDLE},
    {kErrorNotEnoughMemory, KSVHID_NOT_ENOUGH_MEMORY},
    {kErrorBadEnvironment, KSVHID_WAIT_FAILED},  // reported as a failed wait
    {kErrorOutOfMemory, KSVHID_OUT_OF_MEMORY},
    {kErrorWriteProtect, KSVHID_WRITE_PROTECT},
    {kErrorWriteFault, KSVHID_WRITE_FAULT},
    {kErrorReadFault, KSVHID_READ_FAULT},
    {kErrorInvalidParameter, KSVHID_INVALID_PARAMETER},
    {kErrorOpenFailed, KSVHID_OPEN_FAILED},
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
