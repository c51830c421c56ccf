// The serial-number path as the Linux platform drives it: a device's UTF-8 unique ID decoded into
// the 256 UTF-16 units of a serial-number string, then narrowed to the text that the walk hands to
// callers, in a buffer of exactly 256 bytes so that a write past it is caught.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "discovery/serial.h"
#include "fuzz_check.h"
#include "platform/hid_platform.h"
#include "platform/utf16_from_utf8.h"

namespace ksv::test {
namespace {

// A platform whose one device reports the given units as its serial-number string.
class SerialOnlyPlatform final : public HidPlatform {
 public:
  explicit SerialOnlyPlatform(const SerialUnits& units) : units_(units) {}

  HidClass GetHidClass() override { return {}; }
  InterfaceListToken OpenInterfaceList(const HidClass&) override { return nullptr; }
  InterfaceLookup GetInterfaceAt(InterfaceListToken, const HidClass&, std::uint32_t,
                                 InterfaceRecord&) override {
    return InterfaceLookup::kEnd;
  }
  PathBlock GetInterfacePath(InterfaceListToken, const InterfaceRecord&) override { return {}; }
  void ReleasePathBlock(PathBlock) override {}
  void CloseInterfaceList(InterfaceListToken) override {}
  DeviceHandle OpenDevicePath(const char*) override { return InvalidDeviceHandle(); }
  std::optional<DeviceIdentity> GetDeviceIds(DeviceHandle) override { return std::nullopt; }
  bool GetSerialUnits(DeviceHandle, SerialUnits& units) override {
    units = units_;
    return true;
  }
  bool Close(DeviceHandle) override { return false; }
  std::uint32_t OpenRefusal(const char*) override { return kErrorFileNotFound; }
  EventToken CreateCompletionEvent() override { return nullptr; }
  void CloseEvent(EventToken) override {}
  std::uint32_t DiscardQueuedInput(DeviceHandle, std::uint8_t*, std::uint32_t,
                                   TransferRecord&) override {
    return kErrorInvalidHandle;
  }
  StartOutcome StartWrite(DeviceHandle, const std::uint8_t*, std::uint32_t,
                          TransferRecord&) override {
    return {};
  }
  StartOutcome StartRead(DeviceHandle, std::uint8_t*, std::uint32_t, TransferRecord&) override {
    return {};
  }
  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord&, std::uint32_t) override {
    return kWaitFailed;
  }
  void CancelPending(DeviceHandle) override {}
  std::uint32_t GetCompletedCount(DeviceHandle, TransferRecord&) override { return 0; }
  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}

 private:
  SerialUnits units_;
};

bool IsHighSurrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(std::uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace
}  // namespace ksv::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ksv;
  using namespace ksv::test;
  const auto* text = reinterpret_cast<const char*>(data);

  // The decoding, as the platform fills the serial-number units.
  SerialUnits units{};
  const std::size_t n = Utf16FromUtf8(text, size, units.data(), units.size());
  KSV_FUZZ_CHECK(n <= units.size());
  KSV_FUZZ_CHECK(n <= size);  // never more units than bytes
  bool all_ascii = true;
  for (std::size_t k = 0; k < size; ++k) {
    all_ascii = all_ascii && data[k] < 0x80;
  }
  for (std::size_t k = 0; k < n; ++k) {
    // Surrogates come only in pairs, high then low: malformed input never yields a lone one.
    if (IsHighSurrogate(units[k])) {
      KSV_FUZZ_CHECK(k + 1 < n && IsLowSurrogate(units[k + 1]));
      ++k;
    } else {
      KSV_FUZZ_CHECK(!IsLowSurrogate(units[k]));
    }
    if (all_ascii) {
      KSV_FUZZ_CHECK(units[k] == data[k]);
    }
  }
  if (all_ascii) {
    KSV_FUZZ_CHECK(n == (size < units.size() ? size : units.size()));
  }

  // A smaller capacity only cuts the output: what it gives is a prefix of the full decoding, and
  // nothing is written past it (the buffer has exactly that many units).
  const std::size_t capacity = size == 0 ? 0 : data[0];
  const auto small = std::make_unique<std::uint16_t[]>(capacity == 0 ? 1 : capacity);
  const std::size_t m = Utf16FromUtf8(text, size, small.get(), capacity);
  KSV_FUZZ_CHECK(m <= capacity);
  KSV_FUZZ_CHECK(m <= n);
  for (std::size_t k = 0; k < m; ++k) {
    KSV_FUZZ_CHECK(small[k] == units[k]);
  }
  KSV_FUZZ_CHECK(m + 1 >= capacity || m == n);  // cut only where the next character does not fit

  // The narrowing, as the walk reads a module's serial number.
  if (n < units.size()) {
    units[n] = 0;
  }
  SerialOnlyPlatform platform(units);
  const auto destination = std::make_unique<char[]>(kSerialTextBytes);
  const std::optional<std::size_t> length = ReadSerialNarrow(
      platform, reinterpret_cast<DeviceHandle>(std::uintptr_t{1}), destination.get());
  KSV_FUZZ_CHECK(length.has_value());
  KSV_FUZZ_CHECK(*length < kSerialTextBytes);
  KSV_FUZZ_CHECK(destination[*length] == '\0');
  for (std::size_t k = 0; k < *length; ++k) {
    KSV_FUZZ_CHECK(units[k] != 0);
    KSV_FUZZ_CHECK(static_cast<unsigned char>(destination[k]) == (units[k] & 0xFFu));
  }
  // The text stops at the first zero unit or at 255 characters, whichever comes first.
  KSV_FUZZ_CHECK(*length == kSerialTextBytes - 1 || units[*length] == 0);
  return 0;
}
