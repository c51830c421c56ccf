// What a user types on ksvhid's command line: hex bytes, serial-number texts with escapes, and
// integers. The input is split at zero bytes into arguments.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "text.h"

namespace ksv::test {
namespace {

constexpr std::size_t kLongestSerial = 255;

bool PrintableAscii(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

void CheckHex(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<std::vector<std::uint8_t>> bytes = ksv::tool::ParseHexBytes(args, error);
  if (!bytes) {
    KSV_FUZZ_CHECK(!error.empty());
    KSV_FUZZ_CHECK(PrintableAscii(error));  // the bad argument is shown escaped
    return;
  }
  // Accepted: the bytes written back as hex are the arguments' digits, without their prefixes.
  std::string digits;
  for (const std::string& arg : args) {
    const bool prefixed = arg.size() > 2 && arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    digits += Lower(prefixed ? arg.substr(2) : arg);
  }
  KSV_FUZZ_CHECK(ksv::tool::HexString(bytes->data(), bytes->size()) == digits);
}

void CheckSerial(const std::string& text) {
  // Any text a module may report is shown as printable ASCII and typed back to the same bytes.
  const std::string shown = ksv::tool::EscapeSerial(text);
  KSV_FUZZ_CHECK(PrintableAscii(shown));
  std::string error;
  const std::optional<std::string> back = ksv::tool::UnescapeSerial(shown, error);
  const bool fits = text.size() <= kLongestSerial && text.find('\0') == std::string::npos;
  KSV_FUZZ_CHECK(back.has_value() == fits);
  if (back) {
    KSV_FUZZ_CHECK(*back == text);
  } else {
    KSV_FUZZ_CHECK(!error.empty());
  }
}

// One command-line argument (it holds no zero byte, as no argument can).
void CheckTyped(const std::string& text) {
  // An accepted serial number fits, and shows as it was typed, up to the spelling of escapes.
  std::string error;
  const std::optional<std::string> typed = ksv::tool::UnescapeSerial(text, error);
  if (typed) {
    KSV_FUZZ_CHECK(typed->size() <= kLongestSerial);
    KSV_FUZZ_CHECK(typed->find('\0') == std::string::npos);
    KSV_FUZZ_CHECK(ksv::tool::UnescapeSerial(ksv::tool::EscapeSerial(*typed), error) == typed);
    KSV_FUZZ_CHECK(typed->size() <= text.size());
  }

  // A number is accepted only within its bounds.
  const std::optional<long long> number = ksv::tool::ParseInteger(text, -5, 1000000);
  if (number) {
    KSV_FUZZ_CHECK(*number >= 0 && *number <= 1000000);
    KSV_FUZZ_CHECK(std::to_string(*number).size() <= text.size());
  }

  const std::string json = ksv::tool::JsonString(text);
  KSV_FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"');
  KSV_FUZZ_CHECK(PrintableAscii(json));
}

}  // namespace
}  // namespace ksv::test

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ksv::test;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  std::size_t start = 0;
  for (std::size_t k = 0; k <= input.size(); ++k) {
    if (k == input.size() || input[k] == '\0') {
      args.push_back(input.substr(start, k - start));
      start = k + 1;
    }
  }
  CheckHex(args);
  CheckSerial(input);
  for (const std::string& arg : args) {
    CheckTyped(arg);
  }
  return 0;
}
