// The simulation file: a JSON object {"modules": [...]} whose entries describe simulated devices
// in walk order. A file is taken whole or not at all: the first fault ends the reading with one
// line that says where and what.
#include <cctype>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/utf16_from_utf8.h"
#include "simulator/simulated_hid_platform.h"

namespace ksv {
namespace {

using nlohmann::json;

constexpr std::size_t kMostPayloadBytes = kSimulatedReportBytes - 1;

// A fault in the file's content, with where it is.
struct FileFault {
  std::string what;
};

[[noreturn]] void Fault(const std::string& where, const std::string& what) {
  throw FileFault{where + ": " + what};
}

std::optional<std::uint32_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<std::uint32_t>(c - '0');
  }
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower >= 'a' && lower <= 'f') {
    return static_cast<std::uint32_t>(lower - 'a' + 10);
  }
  return std::nullopt;
}

std::string WithoutHexPrefix(const std::string& text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return text.substr(2);
  }
  return text;
}

// "0x17FE" or "17fe": one to four hex digits.
std::uint16_t UsbId(const json& value, const std::string& where) {
  const std::string digits = value.is_string() ? WithoutHexPrefix(value.get<std::string>()) : "";
  std::uint32_t id = 0;
  bool ok = !digits.empty() && digits.size() <= 4;
  for (char c : digits) {
    const std::optional<std::uint32_t> digit = HexDigit(c);
    ok = ok && digit.has_value();
    id = id * 16 + digit.value_or(0);
  }
  if (!ok) {
    Fault(where, "takes a hex string of 1 to 4 digits, such as \"0x17FE\", not " + value.dump());
  }
  return static_cast<std::uint16_t>(id);
}

std::uint32_t Integer(const json& value, const std::string& where, std::uint32_t most) {
  if (!value.is_number_integer()) {
    Fault(where, "takes a whole number, not " + value.dump());
  }
  if (value.is_number_unsigned()
          ? value.get<std::uint64_t>() > most
          : value.get<std::int64_t>() < 0 || value.get<std::int64_t>() > std::int64_t{most}) {
    Fault(where, value.dump() + " is out of range 0.." + std::to_string(most));
  }
  return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

std::vector<std::uint8_t> HexBytes(const json& value, const std::string& where, std::size_t most,
                                   const char* what) {
  const std::string digits = value.is_string() ? WithoutHexPrefix(value.get<std::string>()) : "";
  std::vector<std::uint8_t> bytes;
  bool ok = value.is_string() && digits.size() % 2 == 0;
  for (std::size_t i = 0; ok && i < digits.size(); i += 2) {
    const std::optional<std::uint32_t> high = HexDigit(digits[i]);
    const std::optional<std::uint32_t> low = HexDigit(digits[i + 1]);
    ok = high && low;
    bytes.push_back(static_cast<std::uint8_t>(high.value_or(0) * 16 + low.value_or(0)));
  }
  if (!ok) {
    Fault(where, "takes a hex string of whole bytes, such as \"0102ff\", not " + value.dump());
  }
  if (bytes.size() > most) {
    Fault(where, "has " + std::to_string(bytes.size()) + " bytes; " + what + " at most " +
                     std::to_string(most));
  }
  return bytes;
}

std::vector<std::uint8_t> Payload(const json& value, const std::string& where) {
  return HexBytes(value, where, kMostPayloadBytes, "a reply carries");
}

bool Flag(const json& value, const std::string& where) {
  if (!value.is_boolean()) {
    Fault(where, "takes true or false, not " + value.dump());
  }
  return value.get<bool>();
}

// One step of a conversation: {"command": HEX, "mask": HEX, then "reply": HEX with "delay_ms",
// or "silent": true, or "leaves": true, or "system_error": N (the read ends with that
// Windows-meaning error number, which the library maps to its result code)}.
ConversationStep Step(const json& entry, const std::string& where, bool names_module) {
  if (!entry.is_object() || !entry.contains("command")) {
    Fault(where, "is not an object with a \"command\"");
  }
  ConversationStep step;
  step.mask.fill(0xFF);
  int outcomes = 0;
  for (const auto& field : entry.items()) {
    const std::string& key = field.key();
    const json& value = field.value();
    const std::string at = where + "." + key;
    if (key == "command" || key == "mask") {
      const std::vector<std::uint8_t> bytes =
          HexBytes(value, at, ConversationStep::kCommandBytes, "a command has");
      std::copy(bytes.begin(), bytes.end(), (key == "command" ? step.command : step.mask).begin());
    } else if (key == "reply") {
      step.reply = HexBytes(value, at, kSimulatedReportBytes, "an input report has");
      if (step.reply.empty()) {
        Fault(at, "is empty; a reply has its report ID at least");
      }
      ++outcomes;
    } else if (key == "delay_ms") {
      step.delay_ms = Integer(value, at, kSimulatedLongestDelayMs);
    } else if (key == "module" && names_module) {
      // Read by the caller, which knows the modules.
    } else if (key == "system_error") {
      step.system_error = Integer(value, at, std::numeric_limits<std::uint32_t>::max());
      if (step.system_error == 0) {
        Fault(at, "is an error number, never 0");
      }
      step.outcome = ConversationStep::Outcome::kSystemError;
      ++outcomes;
    } else if (key == "silent" || key == "leaves") {
      if (!Flag(value, at)) {
        Fault(at, "is only ever true");
      }
      step.outcome =
          key == "silent" ? ConversationStep::Outcome::kSilent : ConversationStep::Outcome::kLeaves;
      ++outcomes;
    } else {
      Fault(where, "unknown field " + json(key).dump());
    }
  }
  if (outcomes != 1) {
    Fault(where, "needs exactly one of \"reply\", \"silent\", \"leaves\" and \"system_error\"");
  }
  return step;
}

SimulatedReply ReplyKind(const json& value, const std::string& where) {
  static const std::pair<const char*, SimulatedReply> kKinds[] = {
      {"echo", SimulatedReply::kEcho},     {"plus-one", SimulatedReply::kPlusOne},
      {"invert", SimulatedReply::kInvert}, {"silent", SimulatedReply::kSilent},
      {"fixed", SimulatedReply::kFixed},   {"conversation", SimulatedReply::kConversation},
  };
  if (value.is_string()) {
    for (const auto& kind : kKinds) {
      if (value.get<std::string>() == kind.first) {
        return kind.second;
      }
    }
  }
  Fault(where,
        "takes \"echo\", \"plus-one\", \"invert\", \"silent\", \"fixed\" or \"conversation\", "
        "not " +
            value.dump());
}

std::u16string Serial(const std::string& text) {
  std::vector<std::uint16_t> units(text.size());
  units.resize(Utf16FromUtf8(text.data(), text.size(), units.data(), units.size()));
  return {units.begin(), units.end()};
}

// `steps_follow`: the file's own "steps" may give a conversation module its steps.
SimulatedDevice Module(const json& entry, std::size_t index, bool steps_follow) {
  const std::string where = "modules[" + std::to_string(index) + "]";
  if (!entry.is_object()) {
    Fault(where, "is not an object");
  }
  for (const char* required : {"vendor", "product"}) {
    if (!entry.contains(required)) {
      Fault(where, std::string("\"") + required + "\" is missing (it is required)");
    }
  }
  SimulatedDevice d;
  d.path = "sim:" + where;
  for (const auto& field : entry.items()) {
    const std::string& key = field.key();
    const json& value = field.value();
    const std::string at = where + "." + key;
    if (key == "vendor") {
      d.ids.vendor = UsbId(value, at);
    } else if (key == "product") {
      d.ids.product = UsbId(value, at);
    } else if (key == "serial") {
      if (!value.is_null() && !value.is_string()) {
        Fault(at, "takes a string or null, not " + value.dump());
      }
      d.serial = value.is_null() ? std::nullopt : std::optional(Serial(value.get<std::string>()));
    } else if (key == "reply") {
      d.reply = ReplyKind(value, at);
    } else if (key == "payload") {
      d.payload = Payload(value, at);
    } else if (key == "report_id") {
      d.report_id = static_cast<std::uint8_t>(Integer(value, at, 255));
    } else if (key == "length") {
      d.length = Integer(value, at, kSimulatedReportBytes);
    } else if (key == "delay_ms") {
      d.delay_ms = Integer(value, at, kSimulatedLongestDelayMs);
    } else if (key == "busy") {
      d.busy = Flag(value, at);
    } else if (key == "steps") {
      if (!value.is_array()) {
        Fault(at, "takes an array of steps, not " + value.dump());
      }
      for (std::size_t i = 0; i < value.size(); ++i) {
        d.steps.push_back(Step(value[i], at + "[" + std::to_string(i) + "]", false));
      }
    } else if (key == "match") {
      if (value != "sequence" && value != "lookup") {
        Fault(at, "takes \"sequence\" or \"lookup\", not " + value.dump());
      }
      d.lookup = value == "lookup";
    } else if (key == "unplug_after") {
      d.unplug_after = Integer(value, at, std::numeric_limits<std::uint32_t>::max());
    } else {
      Fault(where, "unknown field " + json(key).dump());  // quoted and escaped: one line
    }
  }
  if (d.reply == SimulatedReply::kFixed && !entry.contains("payload")) {
    Fault(where, "reply \"fixed\" without a \"payload\"");
  }
  if (d.reply != SimulatedReply::kFixed && entry.contains("payload")) {
    Fault(where, "a \"payload\" is given, which only reply \"fixed\" takes");
  }
  const bool conversation = d.reply == SimulatedReply::kConversation;
  if (conversation != (entry.contains("steps") || steps_follow)) {
    Fault(where, conversation ? "reply \"conversation\" without \"steps\""
                              : "\"steps\" are given, which only reply \"conversation\" takes");
  }
  if (!conversation && entry.contains("match")) {
    Fault(where, "a \"match\" is given, which only reply \"conversation\" takes");
  }
  return d;
}

// "line L, column C" of the byte at `offset` (counted from 1, as the JSON reader reports it).
std::string LineAndColumn(const std::string& text, std::size_t offset) {
  const std::size_t end = std::min(offset == 0 ? 0 : offset - 1, text.size());
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::optional<std::vector<SimulatedDevice>> ParseSimulation(const std::string& text,
                                                            const std::string& name,
                                                            std::string& error) {
  try {
    json document;
    try {
      document = json::parse(text);
    } catch (const json::parse_error& e) {
      // The reader's own words after its "[json.exception...] parse error at ...: " prefix.
      std::string what = e.what();
      if (const std::size_t colon = what.find(": "); colon != std::string::npos) {
        what = what.substr(colon + 2);
      }
      error = name + ": " + LineAndColumn(text, e.byte) + ": not JSON: " + what;
      return std::nullopt;
    }
    if (!document.is_object() || !document.contains("modules") || !document["modules"].is_array()) {
      error = name + ": expected an object {\"modules\": [...]}";
      return std::nullopt;
    }
    for (const auto& field : document.items()) {
      if (field.key() != "modules" && field.key() != "steps") {
        error = name + ": unknown field " + json(field.key()).dump();
        return std::nullopt;
      }
    }
    const bool steps_follow = document.contains("steps");
    std::vector<SimulatedDevice> devices;
    const json& modules = document["modules"];
    for (std::size_t i = 0; i < modules.size(); ++i) {
      devices.push_back(Module(modules[i], i, steps_follow));
    }
    // The steps of every conversation in the order they happened, each naming its module: the
    // form a recording is written in, one step appended at a time.
    if (steps_follow) {
      const json& steps = document["steps"];
      if (!steps.is_array()) {
        Fault("steps", "takes an array of steps, not " + steps.dump());
      }
      for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::string at = "steps[" + std::to_string(i) + "]";
        const json module =
            steps[i].is_object() && steps[i].contains("module") ? steps[i]["module"] : json();
        const std::uint32_t m =
            Integer(module, at + ".module", std::numeric_limits<std::uint32_t>::max());
        if (m >= devices.size() || devices[m].reply != SimulatedReply::kConversation) {
          Fault(at + ".module", std::to_string(m) + " is not a module with reply \"conversation\"");
        }
        devices[m].steps.push_back(Step(steps[i], at, true));
      }
    }
    return devices;
  } catch (const FileFault& fault) {
    error = name + ": " + fault.what;
  } catch (const std::exception& e) {
    error = name + ": " + e.what();
  }
  return std::nullopt;
}

std::optional<std::vector<SimulatedDevice>> LoadSimulation(const std::string& path,
                                                           std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return ParseSimulation(text, path, error);
}

std::string BadSimulationLine(const std::string& error) {
  return "KSVHidApi simulator: " + error + "; no modules are simulated";
}

}  // namespace ksv
