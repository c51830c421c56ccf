// What a module sends back and how a transfer ends, over every value: the reply's count and bytes,
// the mode value a caller may set, the transfer's end and the system's error number.
//
// Input layout: 4 bytes mode value, 4 bytes count, 1 byte transfer end, 4 bytes error number, then
// the input report (padded with zero bytes to 64).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/module_mode.h"
#include "exchange/report.h"
#include "fuzz_check.h"

namespace ksv::test {
namespace {

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = std::min(sizeof value, size);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

bool IsMappedResult(ExchangeResult r) {
  return r == kResultTimedOut || r == kResultWaitFailed || (r >= -14 && r <= -3) ||
         r == kResultOther;
}

}  // namespace
}  // namespace ksv::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ksv::test;
  using namespace ksv;
  const auto mode_value = Take<std::int32_t>(data, size);
  const auto count = Take<std::uint32_t>(data, size);
  const auto end = Take<std::uint8_t>(data, size);
  const auto error = Take<std::uint32_t>(data, size);
  Report input{};
  std::memcpy(input.data(), data, std::min(size, input.size()));

  // The mode a caller sets: only 0..3 are stored, anything else falls back to 0.
  const int accepted = ksv::SetModuleMode(mode_value);
  const ModuleMode mode = CurrentMode();
  KSV_FUZZ_CHECK(mode >= kDefaultMode && mode <= kSecondaryVendorMode);
  KSV_FUZZ_CHECK(accepted == (mode_value >= 0 && mode_value <= 3 ? 1 : 0));
  KSV_FUZZ_CHECK(mode == (accepted == 1 ? mode_value : kDefaultMode));

  // Classification, under the stored mode and under the raw value as well.
  for (const ModuleMode m : {mode, static_cast<ModuleMode>(mode_value)}) {
    const ExchangeResult r = ClassifyReply(m, count, input);
    const bool short_or_long = count != kReportSize;
    if (RequiresFullReply(m) && short_or_long) {
      KSV_FUZZ_CHECK(r == kResultWrongLength);
      continue;
    }
    switch (r) {
      case kResultReplyId1:
        KSV_FUZZ_CHECK(input[0] == 1);
        break;
      case kResultReplyId2:
        KSV_FUZZ_CHECK(input[0] == 2);
        break;
      case kResultReplyId3:
        KSV_FUZZ_CHECK(input[0] == 3 && AcceptsReportId3(m));
        break;
      case kResultUnknownReportId:
        KSV_FUZZ_CHECK(input[0] != 1 && input[0] != 2 && (input[0] != 3 || !AcceptsReportId3(m)));
        break;
      default:
        KSV_FUZZ_CHECK(false && "a result outside the classification's set");
    }
  }

  // The reply is the 63 bytes after the report ID, into a buffer of exactly 63 bytes.
  const auto reply = std::make_unique<char[]>(kPayloadLength);
  ExtractReply(input, reply.get());
  KSV_FUZZ_CHECK(std::memcmp(reply.get(), input.data() + 1, kPayloadLength) == 0);

  // The command goes out whole behind its report ID.
  const Report output = BuildOutputReport(input[0], reply.get());
  KSV_FUZZ_CHECK(output[0] == input[0]);
  KSV_FUZZ_CHECK(std::memcmp(output.data() + 1, reply.get(), kPayloadLength) == 0);

  // Any transfer end and error number maps into the result table; a completed transfer is never
  // mapped to success.
  const ExchangeResult mapped = MapTransferError({static_cast<TransferEnd>(end), count, error});
  KSV_FUZZ_CHECK(IsMappedResult(mapped));
  switch (static_cast<TransferEnd>(end)) {
    case TransferEnd::kTimedOut:
      KSV_FUZZ_CHECK(mapped == kResultTimedOut);
      break;
    case TransferEnd::kFailedWait:
      KSV_FUZZ_CHECK(mapped == kResultWaitFailed);
      break;
    case TransferEnd::kSystemError:
      KSV_FUZZ_CHECK(error != 0 || mapped == kResultOther);
      break;
    default:
      KSV_FUZZ_CHECK(mapped == kResultOther);
  }
  return 0;
}
