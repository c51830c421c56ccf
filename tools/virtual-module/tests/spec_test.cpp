// Host-side tests of device descriptions, reply rules, control lines and
// report descriptors (the uhid side runs in the test guest: tests/vm).
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "descriptors.hpp"
#include "spec.hpp"

using namespace ksv::vmod;

namespace {

int g_passed = 0;
int g_failed = 0;

#define CHECK(cond)                                               \
  do {                                                            \
    if (cond) {                                                   \
      ++g_passed;                                                 \
    } else {                                                      \
      ++g_failed;                                                 \
      std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
    }                                                             \
  } while (0)

bool throwsSpecError(const std::function<void()>& f) {
  try {
    f();
  } catch (const SpecError&) {
    return true;
  }
  return false;
}

bool rejected(const std::string& text) {
  return throwsSpecError([&] { parseDeviceSpec(text, 1); });
}

std::vector<std::uint8_t> report(std::uint8_t id, std::size_t payload, std::uint8_t first = 0x10) {
  std::vector<std::uint8_t> r(payload + 1);
  r[0] = id;
  for (std::size_t i = 1; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(first + i - 1);
  return r;
}

void testParseFields() {
  const DeviceSpec s = parseDeviceSpec("module:vid=0x1A2b,pid=513,serial=AB12,version=0x0200", 1);
  CHECK(s.kind == DeviceKind::Module);
  CHECK(s.vendor == 0x1A2B);
  CHECK(s.product == 513);
  CHECK(s.version == 0x0200);
  CHECK(s.serial == "AB12");
  CHECK(s.id == "AB12");
  CHECK(!s.behaviour.silent && !s.behaviour.removeAfterOutput);
  CHECK(s.behaviour.replyId == 1 && s.behaviour.xorMask == 0 && !s.behaviour.shortLength);

  const DeviceSpec k = parseDeviceSpec(" keyboard:vid=0x0fee,pid=2,name=Key%20Board \n", 1);
  CHECK(k.kind == DeviceKind::Keyboard);
  CHECK(k.name == "Key Board");
  CHECK(k.serial.empty());

  const DeviceSpec b = parseDeviceSpec(
      "module:vid=1,pid=2,serial=S,xor=0xff,reply-id=3,short=10,delay=250,ignore=2,silent,"
      "remove-after-output",
      1);
  CHECK(b.behaviour.xorMask == 0xFF);
  CHECK(b.behaviour.replyId == 3);
  CHECK(b.behaviour.shortLength && *b.behaviour.shortLength == 10);
  CHECK(b.behaviour.delay.count() == 250);
  CHECK(b.behaviour.ignoreFirst == 2);
  CHECK(s.inputPayloadSize == kModulePayloadSize);
  CHECK(parseDeviceSpec("module:vid=1,pid=2,short=10,input-size=9", 1).inputPayloadSize == 9);
  CHECK(s.behaviour.ignoreFirst == 0);
  CHECK(b.behaviour.silent && b.behaviour.removeAfterOutput);
}

void testSerialsAndIds() {
  // UTF-8 as is, and percent escapes for bytes that would break the syntax.
  CHECK(parseDeviceSpec("module:vid=1,pid=2,serial=KSV-\xC5\x81"
                        "01",
                        1)
            .serial ==
        "KSV-\xC5\x81"
        "01");
  CHECK(parseDeviceSpec("module:vid=1,pid=2,serial=a%2Cb%25c%c5%81", 1).serial == "a,b%c\xC5\x81");
  // An empty serial is a valid uniq; the id falls back to the sequence number.
  const DeviceSpec empty = parseDeviceSpec("module:vid=1,pid=2,serial=", 7);
  CHECK(empty.serial.empty());
  CHECK(empty.id == "#7");
  CHECK(parseDeviceSpec("module:vid=1,pid=2,serial=a%20b", 3).id == "#3");
  CHECK(parseDeviceSpec("module:vid=1,pid=2,serial=dup,id=second", 3).id == "second");
  CHECK(parseDeviceSpec("module:vid=1,pid=2,serial=" + std::string(63, 'x'), 1).serial.size() ==
        63);
  CHECK(rejected("module:vid=1,pid=2,serial=" + std::string(64, 'x')));
  CHECK(rejected("module:vid=1,pid=2,serial=a%00b"));
  CHECK(rejected("module:vid=1,pid=2,id=a%20b"));
  CHECK(rejected("module:vid=1,pid=2,id="));
}

void testRejectedSpecs() {
  CHECK(rejected("module:pid=2"));  // no vid
  CHECK(rejected("module:vid=1"));  // no pid
  CHECK(rejected("module"));
  CHECK(rejected("mouse:vid=1,pid=2"));
  CHECK(rejected("module:vid=0x10000,pid=2"));  // does not fit 16 bits
  CHECK(rejected("module:vid=12ab,pid=2"));     // hex needs 0x
  CHECK(rejected("module:vid=0x,pid=2"));
  CHECK(rejected("module:vid=-1,pid=2"));
  CHECK(rejected("module:vid=1,pid=2,colour=red"));
  CHECK(rejected("module:vid=1,pid=2,silent=1"));
  CHECK(rejected("module:vid=1,pid=2,delay"));
  CHECK(rejected("module:vid=1,pid=2,reply-id=256"));
  CHECK(rejected("module:vid=1,pid=2,short=0"));
  CHECK(rejected("module:vid=1,pid=2,short=65"));
  CHECK(rejected("module:vid=1,pid=2,serial=%4"));
  CHECK(rejected("module:vid=1,pid=2,serial=%zz"));
  CHECK(rejected("keyboard:vid=1,pid=2,silent"));  // behaviours are for modules
  CHECK(rejected("keyboard:vid=1,pid=2,ignore=1"));
  CHECK(rejected("module:vid=1,pid=2,ignore"));
  CHECK(rejected("module:vid=1,pid=2,input-size=0"));
  CHECK(rejected("module:vid=1,pid=2,input-size=64"));
  CHECK(rejected("keyboard:vid=1,pid=2,input-size=8"));
  CHECK(!rejected("module:vid=1,pid=2,short=64"));
  CHECK(!rejected("module:vid=1,pid=2,,echo,"));
}

void testReplies() {
  Behaviour echo;
  const auto out = report(1, 63);
  const auto r = makeReply(echo, out.data(), out.size());
  CHECK(r == out);  // plain echo of a full report

  Behaviour inverted;
  inverted.xorMask = 0xFF;
  const auto inv = makeReply(inverted, out.data(), out.size());
  CHECK(inv.size() == kModuleReportSize);
  CHECK(inv[0] == 1);
  bool allInverted = true;
  for (std::size_t i = 1; i < inv.size(); ++i)
    allInverted &= inv[i] == static_cast<std::uint8_t>(~out[i]);
  CHECK(allInverted);

  // Short outputs are padded with zeros before the transformation; the
  // answer is always a full report unless short= says otherwise.
  const auto small = report(2, 3, 0xA0);
  const auto padded = makeReply(inverted, small.data(), small.size());
  CHECK(padded.size() == kModuleReportSize);
  CHECK(padded[0] == 1);  // reply ID is 1 whatever ID the output had
  CHECK(padded[1] == 0x5F && padded[2] == 0x5E && padded[3] == 0x5D);
  CHECK(padded[4] == 0xFF && padded[63] == 0xFF);

  const std::vector<std::uint8_t> idOnly{1};
  const auto zeros = makeReply(echo, idOnly.data(), idOnly.size());
  std::vector<std::uint8_t> expected(kModuleReportSize, 0);
  expected[0] = 1;
  CHECK(zeros == expected);

  // Longer outputs are cut to the report size.
  const auto big = report(1, 100);
  const auto cut = makeReply(echo, big.data(), big.size());
  CHECK(cut.size() == kModuleReportSize);
  CHECK(std::equal(cut.begin(), cut.end(), big.begin()));

  Behaviour other;
  other.replyId = 3;
  other.shortLength = 5;
  const auto shortReply = makeReply(other, out.data(), out.size());
  CHECK(shortReply == (std::vector<std::uint8_t>{3, out[1], out[2], out[3], out[4]}));

  Behaviour idByteOnly;
  idByteOnly.shortLength = 1;
  CHECK(makeReply(idByteOnly, out.data(), out.size()) == std::vector<std::uint8_t>{1});

  Behaviour silent;
  silent.silent = true;
  CHECK(makeReply(silent, out.data(), out.size()).empty());
  Behaviour vanishing;
  vanishing.removeAfterOutput = true;
  CHECK(makeReply(vanishing, out.data(), out.size()).empty());
}

void testControlLines() {
  CHECK(!parseControlLine(""));
  CHECK(!parseControlLine("   \t"));
  CHECK(!parseControlLine("# add module:vid=1,pid=2"));
  const auto add = parseControlLine("  add   module:vid=1,pid=2,name=A B \r");
  CHECK(add && add->type == ControlCommand::Type::Add);
  CHECK(add && add->argument == "module:vid=1,pid=2,name=A B");
  const auto rm = parseControlLine(
      "remove KSV-\xC5\x81"
      "02");
  CHECK(rm && rm->type == ControlCommand::Type::Remove &&
        rm->argument ==
            "KSV-\xC5\x81"
            "02");
  CHECK(parseControlLine("list")->type == ControlCommand::Type::List);
  CHECK(parseControlLine("quit")->type == ControlCommand::Type::Quit);
  CHECK(throwsSpecError([] { parseControlLine("remove"); }));
  CHECK(throwsSpecError([] { parseControlLine("add"); }));
  CHECK(throwsSpecError([] { parseControlLine("list all"); }));
  CHECK(throwsSpecError([] { parseControlLine("destroy X"); }));
}

// Walks the short items of a report descriptor and records, per report ID,
// the sizes of the input and output reports it declares (in bits).
struct ReportLayout {
  std::vector<int> ids;
  std::vector<unsigned> inputBits;  // indexed by report ID
  std::vector<unsigned> outputBits;
  unsigned usagePage = 0;
  bool wellFormed = true;
};

ReportLayout walk(const std::vector<std::uint8_t>& d) {
  ReportLayout layout;
  layout.inputBits.assign(256, 0);
  layout.outputBits.assign(256, 0);
  unsigned size = 0, count = 0, id = 0;
  int depth = 0;
  for (std::size_t i = 0; i < d.size();) {
    const std::uint8_t prefix = d[i];
    const std::size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + len > d.size()) {
      layout.wellFormed = false;
      break;
    }
    unsigned value = 0;
    for (std::size_t k = 0; k < len; ++k) value |= static_cast<unsigned>(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x04:
        if (layout.usagePage == 0) layout.usagePage = value;
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
        layout.inputBits[id] += size * count;
        break;
      case 0x90:
        layout.outputBits[id] += size * count;
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
  layout.wellFormed = layout.wellFormed && depth == 0;
  return layout;
}

void testDescriptors() {
  const ReportLayout m = walk(reportDescriptor(DeviceKind::Module));
  CHECK(m.wellFormed);
  CHECK(m.usagePage == 0xFF00);
  CHECK(m.ids == (std::vector<int>{1, 2, 3}));
  for (int id = 1; id <= 3; ++id) {
    CHECK(m.inputBits[static_cast<std::size_t>(id)] == kModulePayloadSize * 8);
    CHECK(m.outputBits[static_cast<std::size_t>(id)] == kModulePayloadSize * 8);
  }
  CHECK(m.inputBits[4] == 0);

  // A module declaring 9-byte input reports (for short=10 answers).
  const ReportLayout small = walk(reportDescriptor(DeviceKind::Module, 9));
  CHECK(small.wellFormed);
  CHECK(small.ids == (std::vector<int>{1, 2, 3}));
  CHECK(small.inputBits[1] == 9 * 8 && small.inputBits[3] == 9 * 8);
  CHECK(small.outputBits[1] == kModulePayloadSize * 8 &&
        small.outputBits[3] == kModulePayloadSize * 8);

  const ReportLayout k = walk(reportDescriptor(DeviceKind::Keyboard));
  CHECK(k.wellFormed);
  CHECK(k.usagePage == 0x01);
  CHECK(k.ids.empty());
  CHECK(k.inputBits[0] == 64);  // modifiers, reserved, 6 key codes
  CHECK(k.outputBits[0] == 8);  // 5 LEDs + padding
}

void testHex() {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  CHECK(toHex(bytes, sizeof bytes) == "000fa5ff");
  CHECK(toHex(bytes, 0).empty());
}

}  // namespace

int main() {
  testParseFields();
  testSerialsAndIds();
  testRejectedSpecs();
  testReplies();
  testControlLines();
  testDescriptors();
  testHex();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
