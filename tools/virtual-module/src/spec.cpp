#include "spec.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace ksv::vmod {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    const int hi = i + 2 < s.size() ? hexDigit(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? hexDigit(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) {
      throw SpecError("bad percent escape in \"" + std::string(s) + "\"");
    }
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// Decimal, or hexadecimal with 0x prefix; must fit `max`.
unsigned long parseNumber(std::string_view key, std::string_view value, unsigned long max) {
  int base = 10;
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    base = 16;
    value.remove_prefix(2);
  }
  unsigned long result = 0;
  const auto* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, result, base);
  if (value.empty() || ec != std::errc() || ptr != end || result > max) {
    throw SpecError(std::string(key) + ": bad value \"" + std::string(value) + "\"");
  }
  return result;
}

}  // namespace

DeviceSpec parseDeviceSpec(std::string_view text, unsigned sequence) {
  text = trim(text);
  const auto colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  DeviceSpec spec;
  if (kind == "module") {
    spec.kind = DeviceKind::Module;
    spec.name = "KSV Virtual Module";
  } else if (kind == "keyboard") {
    spec.kind = DeviceKind::Keyboard;
    spec.name = "KSV Virtual Keyboard";
  } else {
    throw SpecError("unknown device kind \"" + std::string(kind) +
                    "\" (expected module:... or keyboard:...)");
  }

  bool haveVendor = false;
  bool haveProduct = false;
  bool haveId = false;
  std::string_view rest =
      colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view field = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (field.empty()) continue;

    const auto eq = field.find('=');
    const std::string_view key = field.substr(0, eq);
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view value = hasValue ? field.substr(eq + 1) : std::string_view{};
    const auto needValue = [&] {
      if (!hasValue)
        throw SpecError(std::string(key) + " needs a value (" + std::string(key) + "=...)");
    };
    const auto noValue = [&] {
      if (hasValue) throw SpecError(std::string(key) + " takes no value");
    };
    const auto moduleOnly = [&] {
      if (spec.kind != DeviceKind::Module) {
        throw SpecError(std::string(key) + " applies to modules only");
      }
    };

    Behaviour& b = spec.behaviour;
    if (key == "vid") {
      needValue();
      spec.vendor = static_cast<std::uint16_t>(parseNumber(key, value, 0xFFFF));
      haveVendor = true;
    } else if (key == "pid") {
      needValue();
      spec.product = static_cast<std::uint16_t>(parseNumber(key, value, 0xFFFF));
      haveProduct = true;
    } else if (key == "version") {
      needValue();
      spec.version = static_cast<std::uint16_t>(parseNumber(key, value, 0xFFFF));
    } else if (key == "serial") {
      needValue();
      spec.serial = percentDecode(value);
      if (spec.serial.size() > 63) throw SpecError("serial longer than 63 bytes");
      if (spec.serial.find('\0') != std::string::npos) throw SpecError("serial contains NUL");
    } else if (key == "name") {
      needValue();
      spec.name = percentDecode(value);
      if (spec.name.size() > 127) throw SpecError("name longer than 127 bytes");
      if (spec.name.find('\0') != std::string::npos) throw SpecError("name contains NUL");
    } else if (key == "id") {
      needValue();
      spec.id = percentDecode(value);
      if (spec.id.empty() || std::any_of(spec.id.begin(), spec.id.end(), isSpace)) {
        throw SpecError("id must be non-empty and free of whitespace");
      }
      haveId = true;
    } else if (key == "input-size") {
      moduleOnly();
      needValue();
      spec.inputPayloadSize = parseNumber(key, value, kModulePayloadSize);
      if (spec.inputPayloadSize == 0) throw SpecError("input-size: at least 1");
    } else if (key == "echo") {
      moduleOnly();
      noValue();
    } else if (key == "xor") {
      moduleOnly();
      needValue();
      b.xorMask = static_cast<std::uint8_t>(parseNumber(key, value, 0xFF));
    } else if (key == "reply-id") {
      moduleOnly();
      needValue();
      b.replyId = static_cast<std::uint8_t>(parseNumber(key, value, 0xFF));
    } else if (key == "short") {
      moduleOnly();
      needValue();
      b.shortLength = parseNumber(key, value, kModuleReportSize);
      if (*b.shortLength == 0) throw SpecError("short: at least the report ID byte is sent");
    } else if (key == "delay") {
      moduleOnly();
      needValue();
      b.delay = std::chrono::milliseconds(parseNumber(key, value, 3'600'000));
    } else if (key == "ignore") {
      moduleOnly();
      needValue();
      b.ignoreFirst = static_cast<unsigned>(parseNumber(key, value, 1'000'000));
    } else if (key == "silent") {
      moduleOnly();
      noValue();
      b.silent = true;
    } else if (key == "remove-after-output") {
      moduleOnly();
      noValue();
      b.removeAfterOutput = true;
    } else {
      throw SpecError("unknown field \"" + std::string(key) + "\"");
    }
  }
  if (!haveVendor || !haveProduct) throw SpecError("vid=... and pid=... are required");
  if (!haveId) {
    const bool usable =
        !spec.serial.empty() && std::none_of(spec.serial.begin(), spec.serial.end(), isSpace);
    spec.id = usable ? spec.serial : "#" + std::to_string(sequence);
  }
  return spec;
}

std::vector<std::uint8_t> makeReply(const Behaviour& behaviour, const std::uint8_t* output,
                                    std::size_t size) {
  if (behaviour.silent || behaviour.removeAfterOutput) return {};
  std::vector<std::uint8_t> reply(kModuleReportSize, 0);
  reply[0] = behaviour.replyId;
  // output[0] is the report ID the host wrote; the payload follows.
  const std::size_t payload = size > 1 ? std::min(size - 1, kModulePayloadSize) : 0;
  std::copy(output + 1, output + 1 + payload, reply.begin() + 1);
  for (std::size_t i = 1; i < reply.size(); ++i) reply[i] ^= behaviour.xorMask;
  if (behaviour.shortLength) reply.resize(*behaviour.shortLength);
  return reply;
}

std::optional<ControlCommand> parseControlLine(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') return std::nullopt;
  const auto space = std::find_if(line.begin(), line.end(), isSpace);
  const std::string_view verb = line.substr(0, static_cast<std::size_t>(space - line.begin()));
  const std::string_view argument = trim(line.substr(verb.size()));

  ControlCommand command;
  if (verb == "add") {
    command.type = ControlCommand::Type::Add;
  } else if (verb == "remove") {
    command.type = ControlCommand::Type::Remove;
  } else if (verb == "list") {
    command.type = ControlCommand::Type::List;
  } else if (verb == "quit") {
    command.type = ControlCommand::Type::Quit;
  } else {
    throw SpecError("unknown command \"" + std::string(verb) + "\"");
  }
  const bool takesArgument =
      command.type == ControlCommand::Type::Add || command.type == ControlCommand::Type::Remove;
  if (takesArgument && argument.empty()) throw SpecError(std::string(verb) + " needs an argument");
  if (!takesArgument && !argument.empty())
    throw SpecError(std::string(verb) + " takes no argument");
  command.argument = std::string(argument);
  return command;
}

std::string toHex(const std::uint8_t* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0F]);
  }
  return out;
}

}  // namespace ksv::vmod
