// The unique ID as the Linux platform reads it from a device's uevent text.
#include "platform/linux/uevent.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

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

// The IDs as the hidraw device information gives them, and the flock() holders of /proc/locks.
TEST(UeventTest, IdsAndLockHolders) {
  const struct {
    const char* text;
    std::optional<std::pair<int, int>> ids;
  } id_rows[] = {
      {"DRIVER=hid-generic\nHID_ID=0003:000017FE:000082CD\nHID_UNIQ=A\n", {{0x17FE, 0x82CD}}},
      {"HID_ID=0003:000110c4:ffff82cd", {{0x10C4, 0x82CD}}},  // low 16 bits, either case
      {"HID_ID=0003:17FE\n", std::nullopt},
      {"HID_ID=0003:17FE:82CD:1\n", std::nullopt},
      {"HID_ID=0003:1000017FE:82CD\n", std::nullopt},  // more than 32 bits
      {"HID_ID=0003::82CD\n", std::nullopt},
      {"HID_ID=0003:17G0:82CD\n", std::nullopt},
      {"HID_NAME=HID_ID=0003:17FE:82CD\n", std::nullopt},
  };
  for (const auto& row : id_rows) {
    const std::optional<UeventIds> ids = ParseUeventIds(row.text, std::strlen(row.text));
    ASSERT_EQ(ids.has_value(), row.ids.has_value()) << row.text;
    if (ids) {
      EXPECT_EQ(ids->vendor, row.ids->first) << row.text;
      EXPECT_EQ(ids->product, row.ids->second) << row.text;
    }
  }
  const struct {
    const char* line;
    std::optional<FlockHolder> holder;
  } lock_rows[] = {
      {"1: FLOCK  ADVISORY  WRITE 812 00:05:1027 0 EOF", FlockHolder{812, 0, 5, 1027}},
      {"12: FLOCK  ADVISORY  READ 4 fd:1a:99 0 EOF", FlockHolder{4, 0xfd, 0x1a, 99}},
      {"3: FLOCK  ADVISORY  WRITE -1 00:05:7 0 EOF", FlockHolder{0, 0, 5, 7}},
      {"1: -> FLOCK  ADVISORY  WRITE 813 00:05:1027 0 EOF", std::nullopt},  // a waiter
      {"2: POSIX  ADVISORY  WRITE 812 00:05:1027 0 EOF", std::nullopt},
      {"2: FLOCKS ADVISORY  WRITE 812 00:05:1027 0 EOF", std::nullopt},
      {"2: FLOCK", std::nullopt},
      {"2: OFDLCK ADVISORY  WRITE -1 00:05:1027 0 EOF", std::nullopt},
      {"1: FLOCK  ADVISORY  WRITE 812 00:05 0 EOF", std::nullopt},
      {"1: FLOCK  ADVISORY  WRITE x12 00:05:1027 0 EOF", std::nullopt},
      {"FLOCK  ADVISORY  WRITE 812 00:05:1027 0 EOF", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : lock_rows) {
    const std::optional<FlockHolder> holder = ParseFlockLine(row.line, std::strlen(row.line));
    ASSERT_EQ(holder.has_value(), row.holder.has_value()) << row.line;
    if (holder) {
      EXPECT_EQ(holder->pid, row.holder->pid) << row.line;
      EXPECT_EQ(holder->device_major, row.holder->device_major) << row.line;
      EXPECT_EQ(holder->device_minor, row.holder->device_minor) << row.line;
      EXPECT_EQ(holder->inode, row.holder->inode) << row.line;
    }
  }
}

}  // namespace
}  // namespace ksv
