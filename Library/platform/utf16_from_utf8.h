// UTF-8 text (as Linux reports a device's unique ID) to the UTF-16 units that the serial number
// is narrowed from, as Windows reports it. Malformed sequences become U+FFFD; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ksv {

// Decodes `length` bytes of `text` into at most `capacity` units of `out` and gives the number
// written. A character whose units do not all fit ends the output.
inline std::size_t Utf16FromUtf8(const char* text, std::size_t length, std::uint16_t* out,
                                 std::size_t capacity) {
  constexpr std::uint32_t kReplacement = 0xFFFD;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < length) {
    const unsigned char lead = s[i];
    std::size_t extra = 0;
    std::uint32_t cp = lead;
    std::uint32_t least = 0;  // the smallest code point this length may carry
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1Fu;
      least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0Fu;
      least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07u;
      least = 0x10000;
    } else if (lead >= 0x80) {
      cp = kReplacement;  // a continuation byte or an invalid lead byte on its own
    }
    std::size_t taken = 1;
    for (std::size_t k = 1; k <= extra; ++k) {
      if (i + k >= length || (s[i + k] & 0xC0) != 0x80) {
        cp = kReplacement;  // truncated: the lead byte alone is replaced
        extra = 0;
        break;
      }
      cp = (cp << 6) | (s[i + k] & 0x3Fu);
      taken = k + 1;
    }
    if (extra != 0 && (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
      cp = kReplacement;  // overlong, beyond Unicode, or a surrogate
    }
    const std::size_t units = cp >= 0x10000 ? 2 : 1;
    if (written + units > capacity) {
      break;
    }
    if (units == 2) {
      out[written++] = static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out[written++] = static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[written++] = static_cast<std::uint16_t>(cp);
    }
    i += taken;
  }
  return written;
}

}  // namespace ksv
