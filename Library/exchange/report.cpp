#include "exchange/report.h"

#include <cstring>

namespace ksv {
namespace {

struct ErrorResult {
  std::uint32_t error;
  ExchangeResult result;
};

// Windows error numbers that have a code of their own.
constexpr std::array<ErrorResult, 14> kErrorResults{{
    {1, -3},     // ERROR_INVALID_FUNCTION
    {2, -4},     // ERROR_FILE_NOT_FOUND
    {3, -5},     // ERROR_PATH_NOT_FOUND
    {4, -1},     // ERROR_TOO_MANY_OPEN_FILES: reported as a time-out
    {5, -6},     // ERROR_ACCESS_DENIED
    {6, -7},     // ERROR_INVALID_HANDLE
    {8, -8},     // ERROR_NOT_ENOUGH_MEMORY
    {10, -2},    // ERROR_BAD_ENVIRONMENT: reported as a failed wait
    {14, -9},    // ERROR_OUTOFMEMORY
    {19, -10},   // ERROR_WRITE_PROTECT
    {29, -11},   // ERROR_WRITE_FAULT
    {30, -12},   // ERROR_READ_FAULT
    {87, -13},   // ERROR_INVALID_PARAMETER
    {110, -14},  // ERROR_OPEN_FAILED
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
