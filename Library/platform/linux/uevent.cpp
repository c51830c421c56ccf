#include "platform/linux/uevent.h"

#include <algorithm>
#include <cstring>

namespace ksv {
namespace {

constexpr char kUniqKey[] = "HID_UNIQ";
constexpr char kIdKey[] = "HID_ID";
constexpr char kFlockKind[] = "FLOCK";
constexpr std::size_t kIdFields = 3;
constexpr unsigned kMostHexDigits = 8;  // the kernel writes the IDs as 32-bit values

struct Span {
  const char* begin = nullptr;
  std::size_t length = 0;
  bool Is(const char* word) const {
    return length == std::strlen(word) && std::memcmp(begin, word, length) == 0;
  }
};

// The value of the first line of the text that starts with `key` and '=', up to the line's end or
// a zero byte.
std::optional<Span> FindValue(const char* text, std::size_t length, std::string_view key) {
  const char* const end = text + length;
  for (const char* line = text; line < end;) {
    const char* const newline =
        static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    const char* const line_end = newline != nullptr ? newline : end;
    const auto line_length = static_cast<std::size_t>(line_end - line);
    if (line_length > key.size() && std::memcmp(line, key.data(), key.size()) == 0 &&
        line[key.size()] == '=') {
      const char* const value = line + key.size() + 1;
      const auto value_length = static_cast<std::size_t>(line_end - value);
      const void* const zero = std::memchr(value, '\0', value_length);
      return Span{value, zero != nullptr
                             ? static_cast<std::size_t>(static_cast<const char*>(zero) - value)
                             : value_length};
    }
    if (newline == nullptr) {
      break;
    }
    line = newline + 1;
  }
  return std::nullopt;
}

// Hexadecimal digits up to `stop` (or the end), at least one and at most kMostHexDigits.
std::optional<std::uint32_t> HexField(const char*& p, const char* end, char stop) {
  std::uint32_t value = 0;
  unsigned digits = 0;
  for (; p < end && *p != stop; ++p, ++digits) {
    const char c = *p;
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digits == kMostHexDigits) {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  if (digits == 0) {
    return std::nullopt;
  }
  return value;
}

// Decimal digits, at least one, that fit `limit`.
std::optional<unsigned long long> DecimalOf(Span word, unsigned long long limit) {
  if (word.length == 0) {
    return std::nullopt;
  }
  unsigned long long value = 0;
  for (std::size_t i = 0; i < word.length; ++i) {
    const char c = word.begin[i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<unsigned>(c - '0');
    if (value > (limit - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

// The next word of a line from `at`, words separated by spaces; empty at the line's end. `at` moves
// past the word.
Span NextWord(const char* line, std::size_t length, std::size_t& at) {
  while (at < length && line[at] == ' ') {
    ++at;
  }
  const std::size_t begin = at;
  while (at < length && line[at] != ' ') {
    ++at;
  }
  return Span{line + begin, at - begin};
}

// The words of a line: the first `N` into `words`, and how many there are.
template <std::size_t N>
std::size_t SplitWords(const char* line, std::size_t length, Span (&words)[N]) {
  std::size_t count = 0;
  for (std::size_t at = 0;;) {
    const Span word = NextWord(line, length, at);
    if (word.length == 0) {
      return count;
    }
    if (count < N) {
      words[count] = word;
    }
    ++count;
  }
}

}  // namespace

std::optional<std::string_view> FindUeventValue(const char* text, std::size_t length,
                                                std::string_view key) {
  const std::optional<Span> value = FindValue(text, length, key);
  if (!value) {
    return std::nullopt;
  }
  return std::string_view(value->begin, value->length);
}

std::optional<std::size_t> ParseUeventUniq(const char* text, std::size_t length, char* out,
                                           std::size_t capacity) {
  const std::optional<Span> value = FindValue(text, length, kUniqKey);
  if (!value) {
    return std::nullopt;
  }
  const std::size_t n = std::min(value->length, capacity);
  std::memcpy(out, value->begin, n);
  return n;
}

std::optional<UeventIds> ParseUeventIds(const char* text, std::size_t length) {
  const std::optional<Span> value = FindValue(text, length, kIdKey);
  if (!value) {
    return std::nullopt;
  }
  std::uint32_t fields[kIdFields] = {};
  const char* p = value->begin;
  const char* const end = value->begin + value->length;
  for (std::size_t i = 0; i < kIdFields; ++i) {
    const std::optional<std::uint32_t> field = HexField(p, end, ':');
    if (!field || (i + 1 < kIdFields ? p == end : p != end)) {
      return std::nullopt;
    }
    fields[i] = *field;
    p += i + 1 < kIdFields ? 1 : 0;  // past the colon
  }
  return UeventIds{static_cast<std::uint16_t>(fields[1] & 0xFFFFu),
                   static_cast<std::uint16_t>(fields[2] & 0xFFFFu)};
}

std::optional<FlockHolder> ParseFlockLine(const char* line, std::size_t length) {
  // "ID:" KIND MODE ACCESS PID MAJOR:MINOR:INODE START END; a waiter has "->" after the ID, so
  // its second word is no kind.
  constexpr std::size_t kMostWords = 8;
  // The kind first: a busy machine's table is mostly record locks (POSIX, OFDLCK) and leases, and
  // they are turned away before the whole line is split. One line only: text that runs on past a
  // line end is not a lock entry.
  std::size_t at = 0;
  NextWord(line, length, at);
  if (!NextWord(line, length, at).Is(kFlockKind) || std::memchr(line, '\n', length) != nullptr) {
    return std::nullopt;
  }
  Span words[kMostWords];
  const std::size_t count = SplitWords(line, length, words);
  if (count != kMostWords || words[0].length < 2 || words[0].begin[words[0].length - 1] != ':') {
    return std::nullopt;
  }
  // A holder outside the reader's process namespace shows as 0 or a negative number: held, by a
  // process that cannot be named.
  const bool unnamed = words[4].length > 1 && words[4].begin[0] == '-';
  const std::optional<unsigned long long> pid =
      DecimalOf(unnamed ? Span{words[4].begin + 1, words[4].length - 1} : words[4], 0x7FFFFFFFull);
  if (!pid) {
    return std::nullopt;
  }
  const char* p = words[5].begin;
  const char* const end = words[5].begin + words[5].length;
  const std::optional<std::uint32_t> device_major = HexField(p, end, ':');
  if (!device_major || p == end) {
    return std::nullopt;
  }
  ++p;
  const std::optional<std::uint32_t> device_minor = HexField(p, end, ':');
  if (!device_minor || p == end) {
    return std::nullopt;
  }
  ++p;
  const std::optional<unsigned long long> inode =
      DecimalOf(Span{p, static_cast<std::size_t>(end - p)}, ~0ull);
  if (!inode) {
    return std::nullopt;
  }
  return FlockHolder{unnamed ? 0 : static_cast<long long>(*pid), *device_major, *device_minor,
                     *inode};
}

}  // namespace ksv
