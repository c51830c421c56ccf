// Reports and result codes of an exchange: how a command becomes an output report, how an input
// report becomes the caller's reply, and how the outcome becomes a result code. Pure functions of
// bytes, counts, a mode value and error numbers; nothing here touches the platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/module_mode.h"
#include "include/KSVHidApi.h"

namespace ksv {

// The signed result code of one exchange; the values and their names are the public header's.
using ExchangeResult = std::int32_t;

inline constexpr ExchangeResult kResultReplyId1 = KSVHID_REPORT_ID_1;
inline constexpr ExchangeResult kResultReplyId2 = KSVHID_REPORT_ID_2;
inline constexpr ExchangeResult kResultReplyId3 = KSVHID_REPORT_ID_3;
inline constexpr ExchangeResult kResultTimedOut = KSVHID_TIMED_OUT;
inline constexpr ExchangeResult kResultWaitFailed = KSVHID_WAIT_FAILED;
inline constexpr ExchangeResult kResultUnknownReportId = KSVHID_OTHER_REPORT_ID;
inline constexpr ExchangeResult kResultWrongLength = KSVHID_WRONG_LENGTH;
inline constexpr ExchangeResult kResultOther = KSVHID_OTHER_ERROR;

// The command and the reply are 63 payload bytes each; on the wire each travels behind a one-byte
// report ID, in a report of 64 bytes.
inline constexpr std::size_t kPayloadLength = 63;
inline constexpr std::size_t kReportSize = kPayloadLength + 1;
using Report = std::array<std::uint8_t, kReportSize>;

// Report ID `report_id`, then the 63 command bytes as they are (zero bytes included).
Report BuildOutputReport(std::uint8_t report_id, const char* command);

// Copies the 63 payload bytes of an input report (everything after its report ID) to `reply`.
void ExtractReply(const Report& input, char* reply);

// Result of a reply that arrived: `count` bytes were received into `input`. Unless the mode takes
// partial replies, a reply must fill the report; then report ID 1 gives 1, 2 gives 0, 3 gives 3
// where the mode accepts it, anything else -15.
ExchangeResult ClassifyReply(ModuleMode mode, std::uint32_t count, const Report& input);

// How the transfer of one exchange ended.
enum class TransferEnd : std::uint8_t {
  kCompleted,    // the read completed; `count` bytes arrived
  kTimedOut,     // a wait ran out of time and the transfer was cancelled
  kFailedWait,   // a wait failed and the transfer was cancelled
  kSystemError,  // the system reported error number `error`
};
struct TransferOutcome {
  TransferEnd end = TransferEnd::kSystemError;
  std::uint32_t count = 0;  // kCompleted: bytes the read delivered
  std::uint32_t error = 0;  // kSystemError: the (Windows-meaning) error number
};

// Result of a transfer that did not complete: -1 for a time-out, -2 for a failed wait, and for a
// system error the code its number has in the table (-3..-14, or -1/-2 for the two error numbers
// that share those meanings); any other number, 0 included, gives -255.
ExchangeResult MapTransferError(const TransferOutcome& outcome);

}  // namespace ksv
