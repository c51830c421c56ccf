// What ksvhid reads from its command line and writes for people and scripts: hex bytes, serial
// number texts shown and typed safely, hex dumps, JSON strings, result names, round-trip figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ksv::tool {

// Bytes written as hex digit pairs, one or more per argument, each argument with an optional
// "0x" prefix: {"01", "0xA0ff"} gives 01 a0 ff. Nothing when an argument is empty, has an odd
// number of digits or a character that is not a hex digit; `error` then says which argument.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::vector<std::string>& args,
                                                       std::string& error);

// A decimal integer within [low, high]; nothing for anything else (signs, spaces, overflow).
std::optional<long long> ParseInteger(const std::string& text, long long low, long long high);

// A serial number text as it can be shown anywhere: printable ASCII as it is, a backslash as
// "\\", every other byte as "\xHH". Nothing raw reaches the terminal.
std::string EscapeSerial(const std::string& bytes);

// UTF-8 text (a device path) as it can be shown anywhere: each well-formed character from U+00A0
// on as it is, every other byte as EscapeSerial shows it.
std::string ShowUtf8(const std::string& text);

// The inverse of EscapeSerial, for a serial number typed on the command line: "\\" and "\xHH" are
// the only escapes. Nothing for any other escape, for "\x00" (a text ends at its first zero byte)
// and for a text longer than 255 bytes; `error` then says why.
std::optional<std::string> UnescapeSerial(const std::string& text, std::string& error);

// Lower-case hex digits, two per byte, no separators.
std::string HexString(const std::uint8_t* bytes, std::size_t n);

// Rows of 16 bytes: offset, the bytes in hex, and the printable ones beside them.
std::string HexDump(const std::uint8_t* bytes, std::size_t n);

// A JSON string literal (quotes included) of ASCII text; control characters become \u00XX.
std::string JsonString(const std::string& ascii);

// A JSON string literal of UTF-8 text, in ASCII: each well-formed character beyond ASCII as its
// \uXXXX escape (a pair of them beyond U+FFFF), every other byte as JsonString writes it.
std::string JsonText(const std::string& utf8);

// The name of an exchange result code: "reply (report ID 1)", "timed out", ...
std::string ResultName(int result);
// Whether an exchange with this result received a reply, so that the reply bytes were written
// (a reply with an unexpected report ID or length is written too, though it counts as a failure).
bool ReplyWritten(int result);
// Whether the result is a reply the library accepted (report ID 1, 2 or 3).
bool ReplyAccepted(int result);

// Minimum, median and maximum of a set of round-trip times in milliseconds.
struct RoundTrips {
  double min_ms = 0;
  double median_ms = 0;
  double max_ms = 0;
};
// Nothing for an empty set; the median of an even number is the mean of the two middle ones.
std::optional<RoundTrips> Summarise(std::vector<double> times_ms);

}  // namespace ksv::tool
