// Device descriptions and reply rules of ksv-virtual-module.
//
// A device is described by one word of comma-separated fields:
//
//   module:vid=0x1234,pid=0x0001,serial=AB12,delay=20
//   keyboard:vid=0x0fee,pid=0x0002,serial=KB
//
// Values are percent-decoded ("%2C" is a comma, "%25" a percent sign), so a
// serial may hold any bytes; UTF-8 may also be given directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ksv::tool {

// Raised for malformed device descriptions or control commands.
class DescriptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class DeviceKind {
  kModule,    // vendor-defined page 0xFF00, reports 1..3 in and out, 63 data bytes each
  kKeyboard,  // boot keyboard, no report IDs; never answers
};

// Payload bytes per report, not counting the report ID byte.
inline constexpr std::size_t kModulePayloadSize = 63;
inline constexpr std::size_t kModuleReportSize = kModulePayloadSize + 1;

// How a module answers an output report.
struct Behaviour {
  unsigned ignore_first = 0;                // the first N output reports get no reaction at all
  bool silent = false;                      // never answer
  bool remove_after_output = false;         // vanish on the next output report, no answer
  bool never_take = false;                  // never take an output report off the bus (USB)
  std::uint8_t reply_id = 1;                // report ID byte of the answer
  std::uint8_t xor_mask = 0;                // every payload byte of the answer is XORed with this
  std::optional<std::size_t> short_length;  // answer only this many bytes (ID byte included)
  std::chrono::milliseconds delay{0};       // wait this long before answering
  std::optional<unsigned> delay_first;      // delay only the first N answers (unset: every one)
  // A command whose first payload byte is this marker names its own answer's delay in the next
  // two payload bytes (milliseconds, big-endian); kNoAnswer there drops it unanswered.
  std::optional<std::uint8_t> late_marker;
};

inline constexpr std::chrono::milliseconds kNoAnswer{0xFFFF};

// The delay that output report `output` (report ID byte first) asks for through the late marker;
// nothing when it carries none.
std::optional<std::chrono::milliseconds> CommandedDelay(const Behaviour& behaviour,
                                                        const std::uint8_t* output,
                                                        std::size_t size);

struct DeviceDescription {
  DeviceKind kind = DeviceKind::kModule;
  std::string id;  // handle for "remove"; no whitespace
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t version = 0x0100;
  std::string serial;  // HID "uniq", at most 63 bytes
  std::string name;    // HID name (product string), at most 127 bytes
  // Payload bytes the descriptor declares for input reports 1..3 (output
  // reports always have kModulePayloadSize).  The kernel drops input
  // reports shorter than declared, so short= answers reach hidraw only
  // when this is at most short - 1.
  std::size_t input_payload_size = kModulePayloadSize;
  // USB backend: the device controller the gadget binds to; empty: the first free dummy_udc.
  std::string udc;
  Behaviour behaviour;
};

// Parses "KIND:field,field,...". `sequence` numbers devices whose id cannot
// be derived from the serial (empty, or containing whitespace): "#<sequence>".
DeviceDescription ParseDeviceDescription(std::string_view text, unsigned sequence);

// The answer of a module to output report `output` (report ID byte first, as
// delivered by uhid): the reply ID byte, then the output's payload, padded
// with zeros or cut to 63 bytes, each byte XORed with the mask; cut to the
// short length if one is set.  Empty if the module does not answer.
std::vector<std::uint8_t> MakeReply(const Behaviour& behaviour, const std::uint8_t* output,
                                    std::size_t size);

// A line received on the control channel.
struct ControlCommand {
  // Unplug takes a device off the bus and keeps it; Plug puts it back.
  enum class Type { kAdd, kRemove, kUnplug, kPlug, kList, kQuit } type = Type::kList;
  std::string argument;  // device description for Add, device id for the others
};

// Parses one control line ("add DEVICE", "remove ID", "unplug ID", "plug ID", "list", "quit").
// Returns nothing for blank lines and '#' comments.
std::optional<ControlCommand> ParseControlLine(std::string_view line);

std::string ToHex(const std::uint8_t* data, std::size_t size);

}  // namespace ksv::tool
