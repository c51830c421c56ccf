// Host-side tests of device descriptions, reply rules, control lines and
// report descriptors (the uhid side runs in the test guest: tests/vm).
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "checks.h"
#include "descriptors.h"
#include "device_description.h"

namespace ksv::test {
namespace {

using namespace ksv::tool;

bool ThrowsDescriptionError(const std::function<void()>& f) {
  try {
    f();
  } catch (const DescriptionError&) {
    return true;
  }
  return false;
}

bool Rejected(const std::string& text) {
  return ThrowsDescriptionError([&] { ParseDeviceDescription(text, 1); });
}

std::vector<std::uint8_t> Report(std::uint8_t id, std::size_t payload, std::uint8_t first = 0x10) {
  std::vector<std::uint8_t> r(payload + 1);
  r[0] = id;
  for (std::size_t i = 1; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(first + i - 1);
  return r;
}

void ParseFields() {
  const DeviceDescription s =
      ParseDeviceDescription("module:vid=0x1A2b,pid=513,serial=AB12,version=0x0200", 1);
  KSV_CHECK(s.kind == DeviceKind::kModule);
  KSV_CHECK(s.vendor == 0x1A2B);
  KSV_CHECK(s.product == 513);
  KSV_CHECK(s.version == 0x0200);
  KSV_CHECK(s.serial == "AB12");
  KSV_CHECK(s.id == "AB12");
  KSV_CHECK(!s.behaviour.silent && !s.behaviour.remove_after_output);
  KSV_CHECK(s.behaviour.reply_id == 1 && s.behaviour.xor_mask == 0 && !s.behaviour.short_length);

  const DeviceDescription k =
      ParseDeviceDescription(" keyboard:vid=0x0fee,pid=2,name=Key%20Board \n", 1);
  KSV_CHECK(k.kind == DeviceKind::kKeyboard);
  KSV_CHECK(k.name == "Key Board");
  KSV_CHECK(k.serial.empty());

  const DeviceDescription b = ParseDeviceDescription(
      "module:vid=1,pid=2,serial=S,xor=0xff,reply-id=3,short=10,delay=250,delay-first=1,"
      "ignore=2,silent,"
      "remove-after-output",
      1);
  KSV_CHECK(b.behaviour.xor_mask == 0xFF);
  KSV_CHECK(b.behaviour.reply_id == 3);
  KSV_CHECK(b.behaviour.short_length && *b.behaviour.short_length == 10);
  KSV_CHECK(b.behaviour.delay.count() == 250);
  KSV_CHECK(b.behaviour.ignore_first == 2);
  KSV_CHECK(b.behaviour.delay_first && *b.behaviour.delay_first == 1);
  KSV_CHECK(!s.behaviour.delay_first);
  KSV_CHECK(s.input_payload_size == kModulePayloadSize);
  KSV_CHECK(
      ParseDeviceDescription("module:vid=1,pid=2,short=10,input-size=9", 1).input_payload_size ==
      9);
  KSV_CHECK(s.behaviour.ignore_first == 0);
  KSV_CHECK(b.behaviour.silent && b.behaviour.remove_after_output);
}

void SerialsAndIds() {
  // UTF-8 as is, and percent escapes for bytes that would break the syntax.
  KSV_CHECK(ParseDeviceDescription("module:vid=1,pid=2,serial=KSV-\xC5\x81"
                                   "01",
                                   1)
                .serial ==
            "KSV-\xC5\x81"
            "01");
  KSV_CHECK(ParseDeviceDescription("module:vid=1,pid=2,serial=a%2Cb%25c%c5%81", 1).serial ==
            "a,b%c\xC5\x81");
  // An empty serial is a valid uniq; the id falls back to the sequence number.
  const DeviceDescription empty = ParseDeviceDescription("module:vid=1,pid=2,serial=", 7);
  KSV_CHECK(empty.serial.empty());
  KSV_CHECK(empty.id == "#7");
  KSV_CHECK(ParseDeviceDescription("module:vid=1,pid=2,serial=a%20b", 3).id == "#3");
  KSV_CHECK(ParseDeviceDescription("module:vid=1,pid=2,serial=dup,id=second", 3).id == "second");
  KSV_CHECK(ParseDeviceDescription("module:vid=1,pid=2,serial=" + std::string(63, 'x'), 1)
                .serial.size() == 63);
  KSV_CHECK(Rejected("module:vid=1,pid=2,serial=" + std::string(64, 'x')));
  KSV_CHECK(Rejected("module:vid=1,pid=2,serial=a%00b"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,id=a%20b"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,id="));
}

void RejectedDescriptions() {
  KSV_CHECK(Rejected("module:pid=2"));  // no vid
  KSV_CHECK(Rejected("module:vid=1"));  // no pid
  KSV_CHECK(Rejected("module"));
  KSV_CHECK(Rejected("mouse:vid=1,pid=2"));
  KSV_CHECK(Rejected("module:vid=0x10000,pid=2"));  // does not fit 16 bits
  KSV_CHECK(Rejected("module:vid=12ab,pid=2"));     // hex needs 0x
  KSV_CHECK(Rejected("module:vid=0x,pid=2"));
  KSV_CHECK(Rejected("module:vid=-1,pid=2"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,colour=red"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,silent=1"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,delay"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,delay-first"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,reply-id=256"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,short=0"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,short=65"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,serial=%4"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,serial=%zz"));
  KSV_CHECK(Rejected("keyboard:vid=1,pid=2,silent"));  // behaviours are for modules
  KSV_CHECK(Rejected("keyboard:vid=1,pid=2,ignore=1"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,ignore"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,input-size=0"));
  KSV_CHECK(Rejected("module:vid=1,pid=2,input-size=64"));
  KSV_CHECK(Rejected("keyboard:vid=1,pid=2,input-size=8"));
  KSV_CHECK(!Rejected("module:vid=1,pid=2,short=64"));
  KSV_CHECK(!Rejected("module:vid=1,pid=2,,echo,"));
}

void Replies() {
  Behaviour echo;
  const auto out = Report(1, 63);
  const auto r = MakeReply(echo, out.data(), out.size());
  KSV_CHECK(r == out);  // plain echo of a full report

  Behaviour inverted;
  inverted.xor_mask = 0xFF;
  const auto inv = MakeReply(inverted, out.data(), out.size());
  KSV_CHECK(inv.size() == kModuleReportSize);
  KSV_CHECK(inv[0] == 1);
  bool all_inverted = true;
  for (std::size_t i = 1; i < inv.size(); ++i)
    all_inverted &= inv[i] == static_cast<std::uint8_t>(~out[i]);
  KSV_CHECK(all_inverted);

  // Short outputs are padded with zeros before the transformation; the
  // answer is always a full report unless short= says otherwise.
  const auto small = Report(2, 3, 0xA0);
  const auto padded = MakeReply(inverted, small.data(), small.size());
  KSV_CHECK(padded.size() == kModuleReportSize);
  KSV_CHECK(padded[0] == 1);  // reply ID is 1 whatever ID the output had
  KSV_CHECK(padded[1] == 0x5F && padded[2] == 0x5E && padded[3] == 0x5D);
  KSV_CHECK(padded[4] == 0xFF && padded[63] == 0xFF);

  const std::vector<std::uint8_t> id_only{1};
  const auto zeros = MakeReply(echo, id_only.data(), id_only.size());
  std::vector<std::uint8_t> expected(kModuleReportSize, 0);
  expected[0] = 1;
  KSV_CHECK(zeros == expected);

  // Longer outputs are cut to the report size.
  const auto big = Report(1, 100);
  const auto cut = MakeReply(echo, big.data(), big.size());
  KSV_CHECK(cut.size() == kModuleReportSize);
  KSV_CHECK(std::equal(cut.begin(), cut.end(), big.begin()));

  Behaviour other;
  other.reply_id = 3;
  other.short_length = 5;
  const auto short_reply = MakeReply(other, out.data(), out.size());
  KSV_CHECK(short_reply == (std::vector<std::uint8_t>{3, out[1], out[2], out[3], out[4]}));

  Behaviour id_byte_only;
  id_byte_only.short_length = 1;
  KSV_CHECK(MakeReply(id_byte_only, out.data(), out.size()) == std::vector<std::uint8_t>{1});

  Behaviour silent;
  silent.silent = true;
  KSV_CHECK(MakeReply(silent, out.data(), out.size()).empty());
  Behaviour vanishing;
  vanishing.remove_after_output = true;
  KSV_CHECK(MakeReply(vanishing, out.data(), out.size()).empty());
  const auto stalled = ParseDeviceDescription("module:vid=1,pid=2,never-take,udc=dummy_udc.2", 1);
  KSV_CHECK(stalled.behaviour.never_take && stalled.udc == "dummy_udc.2");
  KSV_CHECK(MakeReply(stalled.behaviour, out.data(), out.size()).empty());
  KSV_CHECK(ThrowsDescriptionError([] { ParseDeviceDescription("module:vid=1,pid=2,udc=", 1); }));
  KSV_CHECK(
      ThrowsDescriptionError([] { ParseDeviceDescription("module:vid=1,pid=2,udc=../x", 1); }));

  // A marked command names its answer's delay; unmarked ones and modules without a marker name
  // none.
  const auto marked = ParseDeviceDescription("module:vid=1,pid=2,late-marker=0xe7", 1).behaviour;
  const std::vector<std::uint8_t> late{1, 0xE7, 0x0D, 0xAC, 0x42};
  const std::vector<std::uint8_t> dropped{1, 0xE7, 0xFF, 0xFF};
  const std::vector<std::uint8_t> unmarked{1, 0xE6, 0x0D, 0xAC};
  KSV_CHECK(CommandedDelay(marked, late.data(), late.size()) == std::chrono::milliseconds(3500));
  KSV_CHECK(CommandedDelay(marked, dropped.data(), dropped.size()) == kNoAnswer);
  KSV_CHECK(!CommandedDelay(marked, unmarked.data(), unmarked.size()));
  KSV_CHECK(!CommandedDelay(marked, late.data(), 3));  // no room for the delay
  KSV_CHECK(!CommandedDelay(echo, late.data(), late.size()));
  KSV_CHECK(Rejected("module:vid=1,pid=2,late-marker=256"));
  KSV_CHECK(Rejected("keyboard:vid=1,pid=2,late-marker=1"));
}

void ControlLines() {
  KSV_CHECK(!ParseControlLine(""));
  KSV_CHECK(!ParseControlLine("   \t"));
  KSV_CHECK(!ParseControlLine("# add module:vid=1,pid=2"));
  const auto add = ParseControlLine("  add   module:vid=1,pid=2,name=A B \r");
  KSV_CHECK(add && add->type == ControlCommand::Type::kAdd);
  KSV_CHECK(add && add->argument == "module:vid=1,pid=2,name=A B");
  const auto rm = ParseControlLine(
      "remove KSV-\xC5\x81"
      "02");
  KSV_CHECK(rm && rm->type == ControlCommand::Type::kRemove &&
            rm->argument ==
                "KSV-\xC5\x81"
                "02");
  KSV_CHECK(ParseControlLine("unplug A")->type == ControlCommand::Type::kUnplug);
  KSV_CHECK(ParseControlLine("plug A")->argument == "A");
  KSV_CHECK(ThrowsDescriptionError([] { ParseControlLine("plug"); }));
  KSV_CHECK(ParseControlLine("list")->type == ControlCommand::Type::kList);
  KSV_CHECK(ParseControlLine("quit")->type == ControlCommand::Type::kQuit);
  KSV_CHECK(ThrowsDescriptionError([] { ParseControlLine("remove"); }));
  KSV_CHECK(ThrowsDescriptionError([] { ParseControlLine("add"); }));
  KSV_CHECK(ThrowsDescriptionError([] { ParseControlLine("list all"); }));
  KSV_CHECK(ThrowsDescriptionError([] { ParseControlLine("destroy X"); }));
}

// Walks the short items of a report descriptor and records, per report ID,
// the sizes of the input and output reports it declares (in bits).
struct ReportLayout {
  std::vector<int> ids;
  std::vector<unsigned> input_bits;  // indexed by report ID
  std::vector<unsigned> output_bits;
  unsigned usage_page = 0;
  bool well_formed = true;
};

ReportLayout Walk(const std::vector<std::uint8_t>& d) {
  ReportLayout layout;
  layout.input_bits.assign(256, 0);
  layout.output_bits.assign(256, 0);
  unsigned size = 0, count = 0, id = 0;
  int depth = 0;
  for (std::size_t i = 0; i < d.size();) {
    const std::uint8_t prefix = d[i];
    const std::size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + len > d.size()) {
      layout.well_formed = false;
      break;
    }
    unsigned value = 0;
    for (std::size_t k = 0; k < len; ++k) value |= static_cast<unsigned>(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x04:
        if (layout.usage_page == 0) layout.usage_page = value;
        break;
      case 0x74:
        size = value;
        break;
      case 0x94:
        count = value;
        break;
      case 0x84:
        id = value;
        layout.ids.push_back(static_cast<int>(value));
        break;
      case 0x80:
        layout.input_bits[id] += size * count;
        break;
      case 0x90:
        layout.output_bits[id] += size * count;
        break;
      case 0xA0:
        ++depth;
        break;
      case 0xC0:
        --depth;
        break;
      default:
        break;
    }
    i += 1 + len;
  }
  layout.well_formed = layout.well_formed && depth == 0;
  return layout;
}

void Descriptors() {
  const ReportLayout m = Walk(ReportDescriptor(DeviceKind::kModule));
  KSV_CHECK(m.well_formed);
  KSV_CHECK(m.usage_page == 0xFF00);
  KSV_CHECK(m.ids == (std::vector<int>{1, 2, 3}));
  for (int id = 1; id <= 3; ++id) {
    KSV_CHECK(m.input_bits[static_cast<std::size_t>(id)] == kModulePayloadSize * 8);
    KSV_CHECK(m.output_bits[static_cast<std::size_t>(id)] == kModulePayloadSize * 8);
  }
  KSV_CHECK(m.input_bits[4] == 0);

  // A module declaring 9-byte input reports (for short=10 answers).
  const ReportLayout small = Walk(ReportDescriptor(DeviceKind::kModule, 9));
  KSV_CHECK(small.well_formed);
  KSV_CHECK(small.ids == (std::vector<int>{1, 2, 3}));
  KSV_CHECK(small.input_bits[1] == 9 * 8 && small.input_bits[3] == 9 * 8);
  KSV_CHECK(small.output_bits[1] == kModulePayloadSize * 8 &&
            small.output_bits[3] == kModulePayloadSize * 8);

  const ReportLayout k = Walk(ReportDescriptor(DeviceKind::kKeyboard));
  KSV_CHECK(k.well_formed);
  KSV_CHECK(k.usage_page == 0x01);
  KSV_CHECK(k.ids.empty());
  KSV_CHECK(k.input_bits[0] == 64);  // modifiers, reserved, 6 key codes
  KSV_CHECK(k.output_bits[0] == 8);  // 5 LEDs + padding
}

void Hex() {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  KSV_CHECK(ToHex(bytes, sizeof bytes) == "000fa5ff");
  KSV_CHECK(ToHex(bytes, 0).empty());
}

}  // namespace
}  // namespace ksv::test

int main() {
  using namespace ksv::test;
  ParseFields();
  SerialsAndIds();
  RejectedDescriptions();
  Replies();
  ControlLines();
  Descriptors();
  Hex();
  return ksv::test::Finish("ksv_virtual_module_tests");
}
