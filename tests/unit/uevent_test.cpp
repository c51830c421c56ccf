// The unique ID as the Linux platform reads it from a device's uevent text.
#include "platform/linux/uevent.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace ksv {
namespace {

constexpr char kGuard = '\x5A';

TEST(UeventTest, UniqueIdLine) {
  using namespace std::string_literals;
  // A line read in pieces of 511 characters would see its second piece start with the key.
  const std::string long_name = "HID_NAME=" + std::string(502, 'n') + "HID_UNIQ=FAKE\n";
  const struct {
    const char* what;
    std::string text;
    std::size_t capacity;
    std::optional<std::string> value;
  } rows[] = {
      {"among the other keys",
       "DRIVER=hid-generic\nHID_ID=0003:000017FE:000082CD\nHID_NAME=Module\nHID_PHYS=usb-1/input0\n"
       "HID_UNIQ=KSV-0042\nMODALIAS=hid:b0003\n",
       8, "KSV-0042"},
      {"last line without a newline", "HID_NAME=x\nHID_UNIQ=A1", 8, "A1"},
      {"empty value", "HID_UNIQ=\nHID_NAME=x\n", 8, ""},
      {"the first of two lines", "HID_UNIQ=ONE\nHID_UNIQ=TWO\n", 8, "ONE"},
      {"value cut at the capacity", "HID_UNIQ=0123456789\n", 4, "0123"},
      {"value ends at a zero byte", "HID_UNIQ=AB\0CD\n"s, 8, "AB"},
      {"UTF-8 bytes kept as they are", "HID_UNIQ=\xC5\x81-1\n", 8, "\xC5\x81-1"},
      {"key only at the start of a line", "HID_NAME=HID_UNIQ=FAKE\n", 8, std::nullopt},
      {"key inside a name longer than any line buffer", long_name, 8, std::nullopt},
      {"key cut short", "HID_UNIQ", 8, std::nullopt},
      {"lower case", "hid_uniq=A\n", 8, std::nullopt},
      {"no text", "", 8, std::nullopt},
  };
  for (const auto& row : rows) {
    std::array<char, 16> out;
    out.fill(kGuard);
    const std::optional<std::size_t> n =
        ParseUeventUniq(row.text.data(), row.text.size(), out.data(), row.capacity);
    if (!row.value) {
      EXPECT_EQ(n, std::nullopt) << row.what;
      EXPECT_EQ(out[0], kGuard) << row.what << ": written although nothing was found";
      continue;
    }
    ASSERT_TRUE(n.has_value()) << row.what;
    EXPECT_EQ(std::string(out.data(), *n), *row.value) << row.what;
    EXPECT_EQ(out[*n], kGuard) << row.what << ": written past the value";
  }
}

}  // namespace
}  // namespace ksv
