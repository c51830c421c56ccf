// The text of a device's uevent file in sysfs: one KEY=value line each, as the kernel writes it.
// Its content comes from the device (the unique ID is the USB serial number string), so parsing
// it is a pure function of bytes, kept apart from the file access.
#pragma once

#include <cstddef>
#include <optional>

namespace ksv {

// Finds the first line of `length` bytes of `text` that starts with "HID_UNIQ=" and copies its
// value, at most `capacity` bytes, to `out`. The key counts only at the start of a line, and the
// value ends at the line's end, at a zero byte or at the end of the text. Gives the number of
// bytes copied (no terminator is written), or nothing with `out` untouched when no line has the
// key.
std::optional<std::size_t> ParseUeventUniq(const char* text, std::size_t length, char* out,
                                           std::size_t capacity);

}  // namespace ksv
