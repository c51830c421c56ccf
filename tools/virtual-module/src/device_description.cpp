#include "device_description.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace ksv::tool {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    const int hi = i + 2 < s.size() ? HexDigit(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? HexDigit(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) {
      throw DescriptionError("bad percent escape in \"" + std::string(s) + "\"");
    }
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// Decimal, or hexadecimal with 0x prefix; must fit `max`.
unsigned long ParseNumber(std::string_view key, std::string_view value, unsigned long max) {
  int base = 10;
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    base = 16;
    value.remove_prefix(2);
  }
  unsigned long result = 0;
  const auto* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, result, base);
  if (value.empty() || ec != std::errc() || ptr != end || result > max) {
    throw DescriptionError(std::string(key) + ": bad value \"" + std::string(value) + "\"");
  }
  return result;
}

}  // namespace

DeviceDescription ParseDeviceDescription(std::string_view text, unsigned sequence) {
  text = Trim(text);
  const auto colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  DeviceDescription description;
  if (kind == "module") {
    description.kind = DeviceKind::kModule;
    description.name = "KSV Virtual Module";
  } else if (kind == "keyboard") {
    description.kind = DeviceKind::kKeyboard;
    description.name = "KSV Virtual Keyboard";
  } else {
    throw DescriptionError("unknown device kind \"" + std::string(kind) +
                           "\" (expected module:... or keyboard:...)");
  }

  bool have_vendor = false;
  bool have_product = false;
  bool have_id = false;
  std::string_view rest =
      colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view field = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (field.empty()) continue;

    const auto eq = field.find('=');
    const std::string_view key = field.substr(0, eq);
    const bool has_value = eq != std::string_view::npos;
    const std::string_view value = has_value ? field.substr(eq + 1) : std::string_view{};
    const auto need_value = [&] {
      if (!has_value)
        throw DescriptionError(std::string(key) + " needs a value (" + std::string(key) + "=...)");
    };
    const auto no_value = [&] {
      if (has_value) throw DescriptionError(std::string(key) + " takes no value");
    };
    const auto module_only = [&] {
      if (description.kind != DeviceKind::kModule) {
        throw DescriptionError(std::string(key) + " applies to modules only");
      }
    };

    Behaviour& b = description.behaviour;
    if (key == "vid") {
      need_value();
      description.vendor = static_cast<std::uint16_t>(ParseNumber(key, value, 0xFFFF));
      have_vendor = true;
    } else if (key == "pid") {
      need_value();
      description.product = static_cast<std::uint16_t>(ParseNumber(key, value, 0xFFFF));
      have_product = true;
    } else if (key == "version") {
      need_value();
      description.version = static_cast<std::uint16_t>(ParseNumber(key, value, 0xFFFF));
    } else if (key == "serial") {
      need_value();
      description.serial = PercentDecode(value);
      if (description.serial.size() > 63) throw DescriptionError("serial longer than 63 bytes");
      if (description.serial.find('\0') != std::string::npos)
        throw DescriptionError("serial contains NUL");
    } else if (key == "name") {
      need_value();
      description.name = PercentDecode(value);
      if (description.name.size() > 127) throw DescriptionError("name longer than 127 bytes");
      if (description.name.find('\0') != std::string::npos)
        throw DescriptionError("name contains NUL");
    } else if (key == "id") {
      need_value();
      description.id = PercentDecode(value);
      if (description.id.empty() ||
          std::any_of(description.id.begin(), description.id.end(), IsSpace)) {
        throw DescriptionError("id must be non-empty and free of whitespace");
      }
      have_id = true;
    } else if (key == "input-size") {
      module_only();
      need_value();
      description.input_payload_size = ParseNumber(key, value, kModulePayloadSize);
      if (description.input_payload_size == 0) throw DescriptionError("input-size: at least 1");
    } else if (key == "echo") {
      module_only();
      no_value();
    } else if (key == "xor") {
      module_only();
      need_value();
      b.xor_mask = static_cast<std::uint8_t>(ParseNumber(key, value, 0xFF));
    } else if (key == "reply-id") {
      module_only();
      need_value();
      b.reply_id = static_cast<std::uint8_t>(ParseNumber(key, value, 0xFF));
    } else if (key == "short") {
      module_only();
      need_value();
      b.short_length = ParseNumber(key, value, kModuleReportSize);
      if (*b.short_length == 0)
        throw DescriptionError("short: at least the report ID byte is sent");
    } else if (key == "delay") {
      module_only();
      need_value();
      b.delay = std::chrono::milliseconds(ParseNumber(key, value, 3'600'000));
    } else if (key == "delay-first") {
      module_only();
      need_value();
      b.delay_first = static_cast<unsigned>(ParseNumber(key, value, 1'000'000));
    } else if (key == "late-marker") {
      module_only();
      need_value();
      b.late_marker = static_cast<std::uint8_t>(ParseNumber(key, value, 0xFF));
    } else if (key == "ignore") {
      module_only();
      need_value();
      b.ignore_first = static_cast<unsigned>(ParseNumber(key, value, 1'000'000));
    } else if (key == "silent") {
      module_only();
      no_value();
      b.silent = true;
    } else if (key == "remove-after-output") {
      module_only();
      no_value();
      b.remove_after_output = true;
    } else if (key == "never-take") {
      module_only();
      no_value();
      b.never_take = true;
    } else if (key == "udc") {
      need_value();
      description.udc = PercentDecode(value);
      if (description.udc.empty() || description.udc.find('/') != std::string::npos) {
        throw DescriptionError("udc: a controller name from /sys/class/udc");
      }
    } else {
      throw DescriptionError("unknown field \"" + std::string(key) + "\"");
    }
  }
  if (!have_vendor || !have_product) throw DescriptionError("vid=... and pid=... are required");
  if (!have_id) {
    const bool usable = !description.serial.empty() &&
                        std::none_of(description.serial.begin(), description.serial.end(), IsSpace);
    description.id = usable ? description.serial : "#" + std::to_string(sequence);
  }
  return description;
}

std::vector<std::uint8_t> MakeReply(const Behaviour& behaviour, const std::uint8_t* output,
                                    std::size_t size) {
  if (behaviour.silent || behaviour.remove_after_output || behaviour.never_take) return {};
  std::vector<std::uint8_t> reply(kModuleReportSize, 0);
  reply[0] = behaviour.reply_id;
  // output[0] is the report ID the host wrote; the payload follows.
  const std::size_t payload = size > 1 ? std::min(size - 1, kModulePayloadSize) : 0;
  std::copy(output + 1, output + 1 + payload, reply.begin() + 1);
  for (std::size_t i = 1; i < reply.size(); ++i) reply[i] ^= behaviour.xor_mask;
  if (behaviour.short_length) reply.resize(*behaviour.short_length);
  return reply;
}

std::optional<std::chrono::milliseconds> CommandedDelay(const Behaviour& behaviour,
                                                        const std::uint8_t* output,
                                                        std::size_t size) {
  // output[0] is the report ID; the marker and the delay are payload bytes 0, 1 and 2.
  if (!behaviour.late_marker || size < 4 || output[1] != *behaviour.late_marker) return {};
  return std::chrono::milliseconds((output[2] << 8) | output[3]);
}

std::optional<ControlCommand> ParseControlLine(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() == '#') return std::nullopt;
  const auto space = std::find_if(line.begin(), line.end(), IsSpace);
  const std::string_view verb = line.substr(0, static_cast<std::size_t>(space - line.begin()));
  const std::string_view argument = Trim(line.substr(verb.size()));

  ControlCommand command;
  if (verb == "add") {
    command.type = ControlCommand::Type::kAdd;
  } else if (verb == "remove") {
    command.type = ControlCommand::Type::kRemove;
  } else if (verb == "unplug") {
    command.type = ControlCommand::Type::kUnplug;
  } else if (verb == "plug") {
    command.type = ControlCommand::Type::kPlug;
  } else if (verb == "list") {
    command.type = ControlCommand::Type::kList;
  } else if (verb == "quit") {
    command.type = ControlCommand::Type::kQuit;
  } else {
    throw DescriptionError("unknown command \"" + std::string(verb) + "\"");
  }
  const bool takes_argument =
      command.type != ControlCommand::Type::kList && command.type != ControlCommand::Type::kQuit;
  if (takes_argument && argument.empty())
    throw DescriptionError(std::string(verb) + " needs an argument");
  if (!takes_argument && !argument.empty())
    throw DescriptionError(std::string(verb) + " takes no argument");
  command.argument = std::string(argument);
  return command;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0F]);
  }
  return out;
}

}  // namespace ksv::tool
