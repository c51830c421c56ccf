#include "platform/linux/uevent.h"

#include <algorithm>
#include <cstring>

namespace ksv {
namespace {

constexpr char kUniqKey[] = "HID_UNIQ=";
constexpr std::size_t kUniqKeyLength = sizeof kUniqKey - 1;

}  // namespace

std::optional<std::size_t> ParseUeventUniq(const char* text, std::size_t length, char* out,
                                           std::size_t capacity) {
  const char* const end = text + length;
  for (const char* line = text; line < end;) {
    const char* const newline =
        static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    const char* const line_end = newline != nullptr ? newline : end;
    const auto line_length = static_cast<std::size_t>(line_end - line);
    if (line_length >= kUniqKeyLength && std::memcmp(line, kUniqKey, kUniqKeyLength) == 0) {
      const char* const value = line + kUniqKeyLength;
      const auto value_length = static_cast<std::size_t>(line_end - value);
      const void* const zero = std::memchr(value, '\0', value_length);
      const std::size_t n = std::min(
          zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - value)
                          : value_length,
          capacity);
      std::memcpy(out, value, n);
      return n;
    }
    if (newline == nullptr) {
      break;
    }
    line = newline + 1;
  }
  return std::nullopt;
}

}  // namespace ksv
