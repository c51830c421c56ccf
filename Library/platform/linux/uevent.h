// Texts the Linux platform reads from sysfs and procfs: a device's uevent file (one KEY=value line
// each, as the kernel writes it) and the lines of /proc/locks. Their content comes partly from
// devices (the unique ID is the USB serial number string), so parsing them is a pure function of
// bytes, kept apart from the file access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ksv {

// Where the walk and the watch read them.
inline constexpr char kHidrawClassDir[] = "/sys/class/hidraw";
inline constexpr char kLocksFile[] = "/proc/locks";

// The value of the first line of `length` bytes of `text` that starts with `key` and '=': up to
// the line's end, a zero byte or the end of the text. Nothing when no line has the key.
std::optional<std::string_view> FindUeventValue(const char* text, std::size_t length,
                                                std::string_view key);

// Finds the first line of `length` bytes of `text` that starts with "HID_UNIQ=" and copies its
// value, at most `capacity` bytes, to `out`. The key counts only at the start of a line, and the
// value ends at the line's end, at a zero byte or at the end of the text. Gives the number of
// bytes copied (no terminator is written), or nothing with `out` untouched when no line has the
// key.
std::optional<std::size_t> ParseUeventUniq(const char* text, std::size_t length, char* out,
                                           std::size_t capacity);

// The vendor and product IDs of the first line that starts with "HID_ID=": its value is
// "BUS:VENDOR:PRODUCT" in hexadecimal digits, and each ID is the low 16 bits of its field, as the
// hidraw device information reports them. Nothing when no line has the key or its value is not of
// that form.
struct UeventIds {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
};
std::optional<UeventIds> ParseUeventIds(const char* text, std::size_t length);

// One line of /proc/locks (without its line end), for example
//   "1: FLOCK  ADVISORY  WRITE 812 00:05:1027 0 EOF"
// the holder's process ID, the file system's device (major:minor, hexadecimal) and the inode.
struct FlockHolder {
  long long pid = 0;
  unsigned device_major = 0;
  unsigned device_minor = 0;
  unsigned long long inode = 0;
};
// The holder a line names when it is a flock() lock that is held; nothing for locks of other
// kinds, for waiters ("->") and for lines not of that form.
std::optional<FlockHolder> ParseFlockLine(const char* line, std::size_t length);

}  // namespace ksv
