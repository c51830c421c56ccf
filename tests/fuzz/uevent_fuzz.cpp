// The uevent text of a device, as sysfs hands it to the Linux platform: the unique ID is found and
// copied into a buffer of exactly the unique ID's size; the IDs and a /proc/locks line are parsed
// from the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "fuzz_check.h"
#include "platform/linux/uevent.h"

namespace ksv::test {
namespace {

constexpr std::size_t kUniqBytes = 256;
constexpr std::string_view kKey = "HID_UNIQ=";

// Where the value of the first line that starts with the key begins, found the plain way.
std::optional<std::size_t> FirstValue(std::string_view text) {
  for (std::size_t line = 0; line <= text.size();) {
    if (text.substr(line, kKey.size()) == kKey) {
      return line + kKey.size();
    }
    const std::size_t newline = text.find('\n', line);
    if (newline == std::string_view::npos) {
      return std::nullopt;
    }
    line = newline + 1;
  }
  return std::nullopt;
}

}  // namespace
}  // namespace ksv::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ksv::test;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto out = std::make_unique<char[]>(kUniqBytes);
  const std::optional<std::size_t> n =
      ksv::ParseUeventUniq(text.data(), text.size(), out.get(), kUniqBytes);
  // The same bytes as a uevent's IDs and as a line of /proc/locks: each is found only where its
  // key is, and a lock holder only in a line without a line end.
  const std::optional<ksv::UeventIds> ids = ksv::ParseUeventIds(text.data(), text.size());
  KSV_FUZZ_CHECK(!ids || text.find("HID_ID=") != std::string_view::npos);
  const std::optional<ksv::FlockHolder> holder = ksv::ParseFlockLine(text.data(), text.size());
  KSV_FUZZ_CHECK(!holder || (text.find("FLOCK") != std::string_view::npos &&
                             text.find('\n') == std::string_view::npos && holder->pid >= 0));
  const std::optional<std::size_t> value = FirstValue(text);
  KSV_FUZZ_CHECK(n.has_value() == value.has_value());
  if (!n) {
    return 0;
  }
  KSV_FUZZ_CHECK(*n <= kUniqBytes);
  KSV_FUZZ_CHECK(std::memcmp(out.get(), text.data() + *value, *n) == 0);
  // The value holds neither a line end nor a zero byte, and stops short only at one of them or
  // at the end of the text.
  const std::string_view copied(out.get(), *n);
  KSV_FUZZ_CHECK(copied.find('\n') == std::string_view::npos);
  KSV_FUZZ_CHECK(copied.find('\0') == std::string_view::npos);
  const std::size_t after = *value + *n;
  KSV_FUZZ_CHECK(*n == kUniqBytes || after == text.size() || text[after] == '\n' ||
                 text[after] == '\0');
  return 0;
}
