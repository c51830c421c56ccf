#include "exchange/report.h"

namespace ksv {
namespace {

struct ErrorResult {
  std::uint32_t error;
  ExchangeResult result;
};

// Windows error numbers, and the exchange's own two wait outcomes, that have a code of their own.
constexpr std::array<ErrorResult, 14> kErrorResults{{
    {1, -3},                   // ERROR_INVALID_FUNCTION
    {2, -4},                   // ERROR_FILE_NOT_FOUND
    {3, -5},                   // ERROR_PATH_NOT_FOUND
    {kErrorWaitTimedOut, -1},  // 4: wait ran out of time (also ERROR_TOO_MANY_OPEN_FILES)
    {5, -6},                   // ERROR_ACCESS_DENIED
    {6, -7},                   // ERROR_INVALID_HANDLE
    {8, -8},                   // ERROR_NOT_ENOUGH_MEMORY
    {kErrorWaitFailed, -2},    // 10: wait failed (also ERROR_BAD_ENVIRONMENT)
    {14, -9},                  // ERROR_OUTOFMEMORY
    {19, -10},                 // ERROR_WRITE_PROTECT
    {29, -11},                 // ERROR_WRITE_FAULT
    {30, -12},                 // ERROR_READ_FAULT
    {87, -13},                 // ERROR_INVALID_PARAMETER
    {110, -14},                // ERROR_OPEN_FAILED
}};

}  // namespace

ExchangeResult ClassifyReceived(ModuleMode mode, std::uint32_t count, std::uint8_t report_id,
                                std::size_t report_size) {
  // The length test comes first: a short or long reply fails it whatever its report ID.
  if (ReplyLengthTested(mode) && count != report_size) {
    return kResultWrongLength;
  }
  switch (report_id) {
    case 1:
      return kResultReplyId1;
    case 2:
      return kResultReplyId2;
    case 3:
      return ReportId3Accepted(mode) ? kResultReplyId3 : kResultUnknownReportId;
    default:
      return kResultUnknownReportId;
  }
}

ExchangeResult MapTransferError(std::uint32_t error) {
  for (const ErrorResult& entry : kErrorResults) {
    if (entry.error == error) {
      return entry.result;
    }
  }
  return kResultOther;
}

}  // namespace ksv
