#include "text.h"

#include <algorithm>
#include <cstdio>

#include "KSVHidApi.h"

namespace ksv::tool {
namespace {

constexpr std::size_t kLongestSerial = 255;
constexpr std::size_t kDumpRow = 16;

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool Printable(std::uint8_t b) { return b >= 0x20 && b <= 0x7E; }

std::string HexByte(std::uint8_t b) {
  static const char kDigits[] = "0123456789abcdef";
  return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

// The well-formed UTF-8 sequence of two to four bytes at `i` of `text`: its length, with its code
// point in `cp`; 0 for ASCII and for a byte that starts no such sequence (overlong forms and
// surrogates included).
std::size_t Utf8Sequence(const std::string& text, std::size_t i, std::uint32_t& cp) {
  const auto lead = static_cast<std::uint8_t>(text[i]);
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  return cp < least || cp > 0x10FFFF || surrogate ? 0 : length;
}

// One byte into a JSON string literal: quotes and backslashes escaped, anything but printable
// ASCII as \u00XX.
void AppendJsonByte(std::string& out, char c) {
  const auto b = static_cast<std::uint8_t>(c);
  if (c == '"' || c == '\\') {
    out += '\\';
    out += c;
  } else if (!Printable(b)) {
    out += "\\u00" + HexByte(b);
  } else {
    out += c;
  }
}

std::string UnitEscape(std::uint32_t unit) {
  return "\\u" + HexByte(static_cast<std::uint8_t>(unit >> 8)) +
         HexByte(static_cast<std::uint8_t>(unit & 0xFF));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::vector<std::string>& args,
                                                       std::string& error) {
  std::vector<std::uint8_t> bytes;
  for (const std::string& arg : args) {
    std::size_t start = 0;
    if (arg.size() > 2 && arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
      start = 2;
    }
    const std::size_t digits = arg.size() - start;
    const bool all_hex = std::all_of(arg.begin() + static_cast<std::ptrdiff_t>(start), arg.end(),
                                     [](char c) { return HexValue(c) >= 0; });
    if (digits == 0 || digits % 2 != 0 || !all_hex) {
      error = "bad hex bytes \"" + EscapeSerial(arg) + "\": write each byte as two hex digits";
      return std::nullopt;
    }
    for (std::size_t i = start; i < arg.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(HexValue(arg[i]) * 16 + HexValue(arg[i + 1])));
    }
  }
  return bytes;
}

std::optional<long long> ParseInteger(const std::string& text, long long low, long long high) {
  if (text.empty() || text.size() > 18) {
    return std::nullopt;
  }
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

std::string EscapeSerial(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (Printable(b)) {
      out += c;
    } else {
      out += "\\x" + HexByte(b);
    }
  }
  return out;
}

std::string ShowUtf8(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = Utf8Sequence(text, i, cp);
    if (length != 0 && cp >= 0xA0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += EscapeSerial(std::string(1, text[i]));
      ++i;
    }
  }
  return out;
}

std::optional<std::string> UnescapeSerial(const std::string& text, std::string& error) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      i += 1;
      continue;
    }
    if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
        HexValue(text[i + 3]) >= 0) {
      const int value = HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]);
      if (value == 0) {
        error = "a serial number cannot contain \\x00";
        return std::nullopt;
      }
      out += static_cast<char>(value);
      i += 3;
      continue;
    }
    error = "bad escape in serial number \"" + EscapeSerial(text) +
            "\": use \\\\ for a backslash and \\xHH for any other byte";
    return std::nullopt;
  }
  if (out.size() > kLongestSerial) {
    error = "a serial number has at most 255 bytes";
    return std::nullopt;
  }
  return out;
}

std::string HexString(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += HexByte(bytes[i]);
  }
  return out;
}

std::string HexDump(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t row = 0; row < n; row += kDumpRow) {
    const std::size_t end = std::min(n, row + kDumpRow);
    out += "  " + HexByte(static_cast<std::uint8_t>(row)) + " ";
    std::string shown;
    for (std::size_t i = row; i < row + kDumpRow; ++i) {
      if (i % 8 == 0) {
        out += ' ';
      }
      if (i < end) {
        out += ' ' + HexByte(bytes[i]);
        shown += Printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  |" + shown + "|\n";
  }
  return out;
}

std::string JsonString(const std::string& ascii) {
  std::string out = "\"";
  for (char c : ascii) {
    AppendJsonByte(out, c);
  }
  return out + "\"";
}

std::string JsonText(const std::string& utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = Utf8Sequence(utf8, i, cp);
    if (length == 0) {
      AppendJsonByte(out, utf8[i]);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out += UnitEscape(0xD800 + ((cp - 0x10000) >> 10)) +
             UnitEscape(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += UnitEscape(cp);
    }
    i += length;
  }
  return out + "\"";
}

std::string ResultName(int result) {
  const char* meaning = KSVHidResultMeaning(result);
  return meaning != nullptr ? meaning : "unknown result";
}

bool ReplyWritten(int result) { return KSVHidResultHasReply(result) != 0; }

bool ReplyAccepted(int result) {
  return result == KSVHID_REPORT_ID_1 || result == KSVHID_REPORT_ID_2 ||
         result == KSVHID_REPORT_ID_3;
}

std::optional<RoundTrips> Summarise(std::vector<double> times_ms) {
  if (times_ms.empty()) {
    return std::nullopt;
  }
  std::sort(times_ms.begin(), times_ms.end());
  const std::size_t n = times_ms.size();
  const double median =
      n % 2 == 1 ? times_ms[n / 2] : (times_ms[n / 2 - 1] + times_ms[n / 2]) / 2.0;
  return RoundTrips{times_ms.front(), median, times_ms.back()};
}

}  // namespace ksv::tool
