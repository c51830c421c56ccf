// Reports and result codes of an exchange: how a command becomes an output report, how an input
// report becomes the caller's reply, and how the outcome becomes a result code. Pure functions of
// bytes, counts, a mode value and error numbers; nothing here touches the platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/module_mode.h"

namespace ksv {

// The signed result code of one exchange.
using ExchangeResult = std::int32_t;

inline constexpr ExchangeResult kResultReplyId1 = 1;
inline constexpr ExchangeResult kResultReplyId2 = 0;
inline constexpr ExchangeResult kResultReplyId3 = 3;
inline constexpr ExchangeResult kResultTimedOut = -1;
inline constexpr ExchangeResult kResultWaitFailed = -2;
inline constexpr ExchangeResult kResultUnknownReportId = -15;
inline constexpr ExchangeResult kResultWrongLength = -16;
inline constexpr ExchangeResult kResultOther = -255;

// Error numbers the exchange gives its own wait outcomes; MapTransferError turns them into
// kResultTimedOut and kResultWaitFailed. They share their values with two Windows error numbers,
// which map the same way.
inline constexpr std::uint32_t kErrorWaitTimedOut = 4;
inline constexpr std::uint32_t kErrorWaitFailed = 10;

// A report on the wire: one report-ID byte, then L payload bytes.
template <std::size_t L>
using Report = std::array<std::uint8_t, L + 1>;

// Report ID `report_id`, then the L command bytes as they are (zero bytes included).
template <std::size_t L>
Report<L> BuildOutputReport(std::uint8_t report_id, const char* command) {
  Report<L> report{};
  report[0] = report_id;
  std::memcpy(report.data() + 1, command, L);
  return report;
}

// The L payload bytes of an input report (everything after its report ID).
template <std::size_t L>
std::array<char, L> ExtractReply(const Report<L>& report) {
  std::array<char, L> payload{};
  std::memcpy(payload.data(), report.data() + 1, L);
  return payload;
}

// Result of a reply that arrived: `count` bytes were received into a report of `report_size`
// bytes whose first byte is `report_id`. Outside the lenient mode a reply must fill the report;
// then report ID 1 gives 1, 2 gives 0, 3 gives 3 where the mode accepts it, anything else -15.
ExchangeResult ClassifyReceived(ModuleMode mode, std::uint32_t count, std::uint8_t report_id,
                                std::size_t report_size);

template <std::size_t L>
ExchangeResult ClassifyReply(ModuleMode mode, std::uint32_t count, const Report<L>& report) {
  return ClassifyReceived(mode, count, report[0], report.size());
}

// Result of a transfer that failed with error number `error`: the Windows error numbers the
// library knows give -3..-14, kErrorWaitTimedOut -1, kErrorWaitFailed -2, any other (0 included)
// -255.
ExchangeResult MapTransferError(std::uint32_t error);

}  // namespace ksv
